# Shared by the MinGW-w64 toolchain files; TARN_MINGW_TRIPLE names the target (posix threads, for
# std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARN_MINGW_TRIPLE}-windres)
# Searches look for Windows files only: in the MinGW-w64 tree and in the prefixes a project names in
# CMAKE_PREFIX_PATH (an unpacked TarnInteraction archive, say), never in the Linux system's.
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The DLLs carry the compiler's runtime, so a host needs no MinGW files beside them.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
