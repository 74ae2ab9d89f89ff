#!/usr/bin/env bash
# Cross-builds the 32-bit Windows DLLs (TarnInteraction.dll on the real WinINet, EngineCore.dll)
# with MinGW-w64, warnings as errors, and checks that the library exports only its factory.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        g++-mingw-w64-i686-posix binutils-mingw-w64-i686 cmake ninja-build
fi
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTARN_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/win32
exports=$(i686-w64-mingw32-objdump -p build/win32/TarnInteraction/TarnInteraction.dll |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p')
if [ "$exports" != "CreateTarnInteraction" ]; then
    echo "TarnInteraction.dll exports: $exports" >&2
    exit 1
fi
echo "build/win32/TarnInteraction/TarnInteraction.dll: exports CreateTarnInteraction only"
