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

# Debian's copyright file: the licence in the machine-readable format, where MIT is called Expat.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" tarn_license)
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" tarn_license "${tarn_license}")
string(STRIP "${tarn_license}" tarn_license)
string(REPLACE "\n\n" "\n.\n" tarn_license "${tarn_license}")
string(REPLACE "\n" "\n " tarn_license " ${tarn_license}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in" "${tarn_debian_dir}/copyright" @ONLY)

# changelog.Debian.gz: one entry for this version, dated now (or at SOURCE_DATE_EPOCH).
string(TIMESTAMP tarn_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in" "${tarn_debian_dir}/changelog.Debian" @ONLY)
# The upstream changelog also goes in as changelog.gz, the name Debian users look for; CHANGELOG.md
# stays beside the README, which links to it. configure_file makes a change to it configure again.
configure_file("${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${tarn_debian_dir}/changelog" COPYONLY)
find_program(TARN_GZIP gzip REQUIRED)
execute_process(COMMAND "${TARN_GZIP}" -9nf "${tarn_debian_dir}/changelog.Debian" "${tarn_debian_dir}/changelog"
                COMMAND_ERROR_IS_FATAL ANY)

foreach(component libs dev tools)
    string(TOUPPER ${component} upper)
    set(doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
    # Only in the packages: a plain install has LICENSE in its doc folder instead.
    install(FILES "${tarn_debian_dir}/copyright" "${tarn_debian_dir}/changelog.Debian.gz"
            DESTINATION "${doc}" COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# The README, and what it links to, beside it in the development package.
set(doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
              "${tarn_debian_dir}/changelog.gz" DESTINATION "${doc}" COMPONENT dev EXCLUDE_FROM_ALL)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION "${doc}/docs" COMPONENT dev EXCLUDE_FROM_ALL
        PATTERN man EXCLUDE)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/" DESTINATION "${doc}/examples" COMPONENT dev EXCLUDE_FROM_ALL)
