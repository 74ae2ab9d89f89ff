# A Debian package of what the install rules install (the libraries, the headers, the CMake and
# pkg-config files, tarn and tarn_server when they are built), under /usr:
#
#   cmake --build --preset release && (cd build/release && cpack -G DEB)
#
# dpkg-shlibdeps (package dpkg-dev) works out the dependencies from the binaries.
set(CPACK_PACKAGE_NAME "tarninteraction")
set(CPACK_PACKAGE_VENDOR "TarnInteraction")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HTTP requests in the background, results handed back on the host's thread")
set(CPACK_PACKAGE_DESCRIPTION
    "TarnInteraction lets a host application run HTTP GETs and multipart form POSTs on worker threads and hands each finished request back through the host's callback inside Poll, on the host's own thread. The package holds the shared libraries, their headers, the CMake package and the pkg-config file, the command-line host tarn and its loopback test server tarn_server.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TarnInteraction developers <tarninteraction@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file, and the ldconfig trigger that lets hosts find the libraries at once.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

include(CPack)
