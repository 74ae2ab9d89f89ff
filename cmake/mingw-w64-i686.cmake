# Cross-builds the 32-bit Windows DLLs and test programs with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
