# Cross-builds the 64-bit Windows build of the same sources with MinGW-w64, for machines that
# cannot run 32-bit code (wine64 runs it).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
