#!/usr/bin/env bash
# The Windows archive as a user gets it: cpack -G ZIP in the build tree of scripts/build-windows.sh,
# unpacked into a temporary folder, examples/host.cpp built against it with MinGW-w64 through
# find_package, and that host run under Wine against a native tarn_server: it must deliver both
# requests, the file's bytes intact.
# The i686 archive, the product's, is always made and its host built; ARCH's host is the one run.
# Usage: scripts/windows-archive-check.sh i686|x86_64
#   (scripts/wine-check.sh runs it for the build it ran under Wine.) Temporary files are removed.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
. scripts/lib/common.sh
arch=${1:-}
case "$arch" in
    i686) archs=(i686) ;;
    x86_64) archs=(i686 x86_64) ;;
    *) echo "usage: $0 i686|x86_64" >&2; exit 2 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-archive.XXXXXX")
tarn_server_pid=
cleanup() {
    [ -n "$tarn_server_pid" ] && kill "$tarn_server_pid" 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "windows archive check: $*" >&2; exit 1; }

# archive ARCH: makes ARCH's archive, unpacks it, checks what it holds and builds the example host
# against it, in $work/ARCH.
archive() {
    local a=$1 dir=build/win32
    [ "$a" = x86_64 ] && dir=build/win64
    scripts/build-windows.sh "$a" >"$work/build-$a.log" 2>&1 || { cat "$work/build-$a.log"; fail "building $a failed"; }
    (cd "$dir" && cpack -G ZIP -B "$work/$a/zip" >"$work/cpack-$a.log") || { cat "$work/cpack-$a.log"; fail "cpack failed"; }
    local zip
    zip=$(ls "$work/$a"/zip/TarnInteraction-*-"$a".zip) || fail "no $a archive"
    echo "$zip:"
    (cd "$work/$a" && cmake -E tar xf "$zip")
    local root
    root=$(ls -d "$work/$a"/TarnInteraction-*-"$a")
    (cd "$root" && find . -type f | sort | sed 's|^\./|  |')
    for f in LICENSE README.md CHANGELOG.md docs/HostGuide.md docs/Windows.md examples/host.cpp \
        bin/TarnInteraction.dll bin/EngineCore.dll lib/libTarnInteraction.dll.a lib/libEngineCore.dll.a \
        include/TarnInteraction/ITarnInteraction.h include/EngineCore/NWLog.h \
        lib/cmake/TarnInteraction/TarnInteractionConfig.cmake lib/pkgconfig/tarninteraction.pc; do
        [ -f "$root/$f" ] || fail "the $a archive lacks $f"
    done
    cmake -S examples -B "$work/$a/host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-$a.cmake" -DCMAKE_PREFIX_PATH="$root" \
        >"$work/host-$a.log" 2>&1 || { cat "$work/host-$a.log"; fail "configuring the $a host failed"; }
    cmake --build "$work/$a/host" >"$work/host-$a.log" 2>&1 || { cat "$work/host-$a.log"; fail "building the $a host failed"; }
    echo "$work/$a/host/example_host.exe: built against the $a archive"
}
for a in "${archs[@]}"; do
    archive "$a"
done

cmake --preset release >/dev/null
cmake --build --preset release -j "$(tarn_jobs)" --target tarn_server >/dev/null
tarn_start_server "$work/server.out" build/release/tools/server/tarn_server || fail "tarn_server did not start"

# The host runs from its build folder, where its DLLs were copied from the archive.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
wineboot -i >/dev/null 2>&1 || true
cp examples/host.cpp "$work/$arch/host/"
status=0
(cd "$work/$arch/host" && timeout 120 wine example_host.exe 127.0.0.1 "$tarn_server_port" host.cpp) \
    >"$work/host.raw" 2>&1 || status=$?
tr -d '\r' <"$work/host.raw" >"$work/host.out"
sed -e 's/^/  /' -e '$a\' "$work/host.out" # the GET's body ends without a newline
size=$(wc -c <examples/host.cpp)
# Wine's own status is no proof that the program ran (it can be 0 when Wine cannot start it).
grep -q "^built with TarnInteraction" "$work/host.out" || { cat "$work/host.out"; fail "the $arch host did not start under Wine"; }
[ "$status" -eq 0 ] || fail "the $arch host ended with status $status"
grep -q "^name=replay filename=host.cpp size=$size " "$work/host.out" || { cat "$work/host.out"; fail "upload not echoed"; }
grep -q "^motd: ok" "$work/host.out" || { cat "$work/host.out"; fail "no GET"; }
echo "windows archive check: the $arch archive's example host delivered both requests under Wine"
