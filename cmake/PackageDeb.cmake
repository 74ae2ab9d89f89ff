# The Debian packages, one a component (see cmake/Install.cmake), under /usr:
#   libtarninteraction1     libTarnInteraction.so.1 and libEngineCore.so.1. One package holds both:
#                           their sonames always change together (both are the project's major
#                           version), and the first cannot load without the second.
#   libtarninteraction-dev  headers, the .so links, the CMake package, tarninteraction.pc, and the
#                           README with what it links to (docs/, examples/, CHANGELOG.md)
#   tarninteraction-tools   tarn and tarn_server with their manual pages; only tarn_server needs
#                           cpp-httplib, so only this package depends on it
# Each has Debian's copyright file (the MIT licence) and changelog.Debian.gz. The library package
# lets dpkg run ldconfig through a trigger; dpkg-shlibdeps (package dpkg-dev) works out what each
# package depends on from the binaries.
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libs dev)
if(TARGET tarn OR TARGET tarn_server)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE "tarninteraction")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS libs)
set(CPACK_COMPONENT_TOOLS_DEPENDS libs)

# 1.0.0 had one package, tarninteraction, with the files of all three: each takes its files over.
foreach(component LIBS DEV TOOLS)
    set(CPACK_DEBIAN_${component}_PACKAGE_BREAKS "tarninteraction (<< 1.0.0-1)")
    set(CPACK_DEBIAN_${component}_PACKAGE_REPLACES "tarninteraction (<< 1.0.0-1)")
endforeach()

set(tarn_libs_package "libtarninteraction${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_LIBS_PACKAGE_NAME "${tarn_libs_package}")
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_LIBS_DESCRIPTION "HTTP requests in the background for host applications
TarnInteraction lets a host application, such as a game engine's main loop,
run HTTP GETs and multipart form POSTs on worker threads. Each finished
request comes back through the host's callback inside Poll, on the host's
own thread.

This package holds the shared libraries, libTarnInteraction and the log and
thread services it uses, libEngineCore.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libtarninteraction-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_DEV_DESCRIPTION "HTTP requests in the background for host applications (development)
TarnInteraction lets a host application run HTTP GETs and multipart form
POSTs on worker threads and hands each finished request back on the host's
own thread.

This package holds the headers, the CMake package (find_package), the
pkg-config file, the host guide and an example host.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "tarninteraction-tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line host and loopback test server for TarnInteraction
tarn runs HTTP GETs and form POSTs through TarnInteraction as a host engine
would, like a small curl, and names the reason of every failure.
tarn_server is a loopback HTTP server for trying tarn and hosts out.")

# The library package: dpkg's ldconfig trigger and a shlibs file of our own. CPack would write both
# postinst and postrm calls to ldconfig when it looks for shared objects itself, so for this
# package it does not, and cmake/debian/CPackDebConfig.cmake works out its dependencies instead.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_LIBS_PACKAGE_SHLIBDEPS OFF)
set(tarn_debian_dir "${PROJECT_BINARY_DIR}/debian")
file(WRITE "${tarn_debian_dir}/triggers" "activate-noawait ldconfig\n")
file(WRITE "${tarn_debian_dir}/shlibs"
     "libTarnInteraction ${PROJECT_VERSION_MAJOR} ${tarn_libs_package} (>= ${PROJECT_VERSION})\n"
     "libEngineCore ${PROJECT_VERSION_MAJOR} ${tarn_libs_package} (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA "${tarn_debian_dir}/triggers;${tarn_debian_dir}/shlibs")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(MAKE_DIRECTORY "${tarn_debian_dir}/shlibdeps/debian")
file(TOUCH "${tarn_debian_dir}/shlibdeps/debian/control")
file(READ "${CMAKE_CURRENT_LIST_DIR}/debian/CPackDebConfig.cmake.in" tarn_cpack_config)
string(CONFIGURE "${tarn_cpack_config}" tarn_cpack_config @ONLY)
file(GENERATE OUTPUT "${tarn_debian_dir}/CPackDebConfig.cmake" CONTENT "${tarn_cpack_config}")
set(CPACK_PROJECT_CONFIG_FILE "${tarn_debian_dir}/CPackDebConfig.cmake")

include(${CMAKE_CURRENT_LIST_DIR}/debian/DebianDocs.cmake)
