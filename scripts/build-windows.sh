#!/usr/bin/env bash
# Cross-builds the Windows DLLs (TarnInteraction.dll on the real WinINet, EngineCore.dll), their
# test programs and WinSmoke.exe with MinGW-w64, warnings as errors, and checks that the library
# exports only its factory and that EngineCore.dll exports no test seam.
# Usage: scripts/build-windows.sh [i686|x86_64]   (default i686, the product's 32-bit build)
# Builds into build/win32 (i686) or build/win64 (x86_64).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
arch=${1:-i686}
case "$arch" in
    i686) triple=i686-w64-mingw32; dir=build/win32; pkgs=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686) ;;
    x86_64) triple=x86_64-w64-mingw32; dir=build/win64; pkgs=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64) ;;
    *) echo "usage: $0 [i686|x86_64]" >&2; exit 2 ;;
esac
# GoogleTest's sources (Debian's googletest) build the test programs for the target.
scripts/bootstrap.sh "${pkgs[@]}" googletest

cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTARN_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$dir" -j "$(tarn_jobs)"
exports=$("$triple-objdump" -p "$dir/TarnInteraction/TarnInteraction.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p')
if [ "$exports" != "CreateTarnInteraction" ]; then
    echo "TarnInteraction.dll exports: $exports" >&2
    exit 1
fi
echo "$dir/TarnInteraction/TarnInteraction.dll ($arch): exports CreateTarnInteraction only"
# The test seam is only in EngineCoreTesting.dll, which is not shipped.
engine_exports=$("$triple-objdump" -p "$dir/EngineCore/EngineCore.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p')
if echo "$engine_exports" | grep -q 'Test'; then
    echo "EngineCore.dll exports test symbols: $(echo "$engine_exports" | grep 'Test')" >&2
    exit 1
fi
echo "$dir/EngineCore/EngineCore.dll ($arch): exports no test symbol"
