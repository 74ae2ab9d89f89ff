# Packages of what the install rules install (cmake/Install.cmake): Debian packages on Linux
# (cmake/PackageDeb.cmake), a ZIP archive on Windows (cmake/PackageZip.cmake).
#
#   cmake --build --preset release && (cd build/release && cpack -G DEB)
#   scripts/build-windows.sh i686 && (cd build/win32 && cpack -G ZIP)
set(CPACK_PACKAGE_NAME "tarninteraction")
set(CPACK_PACKAGE_VENDOR "the TarnInteraction developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "TarnInteraction developers <tarninteraction@users.noreply.github.com>")
# MIT: the licence goes into every package (LICENSE, or the Debian copyright file).
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/PackageZip.cmake)
else()
    include(${CMAKE_CURRENT_LIST_DIR}/PackageDeb.cmake)
endif()

include(CPack)
