# The Windows archive: the DLLs in bin/, their import libraries, the CMake package and
# tarninteraction.pc in lib/, the headers in include/, and at the top the licence, README,
# CHANGELOG, docs/ and examples/. One archive of every component, named after the architecture:
#
#   (cd build/win32 && cpack -G ZIP)   ->  TarnInteraction-1.0.0-i686.zip
set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HTTP requests in the background, results handed back on the host's thread")
set(CPACK_PACKAGE_FILE_NAME "TarnInteraction-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
