#!/usr/bin/env bash
# Installs a build into a temporary prefix, runs the installed tarn, then builds two small hosts against what was
# installed (one through find_package, one through pkg-config) and runs both against a loopback
# tarn_server.
# Usage: run_install_test.sh CMAKE BUILD_DIR HOST_SOURCE_DIR TARN_SERVER CXX GENERATOR [FLAGS]
#   FLAGS: extra compile and link flags for the hosts (the build's sanitizer, if any).
set -euo pipefail
cmake_cmd=$1 build_dir=$2 host_src=$3 server=$4 cxx=$5 generator=$6 flags=${7:-}
. "$(dirname "$0")/../../scripts/lib/common.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-install-test.XXXXXX")
tarn_server_pid=
cleanup() {
    if [ -n "$tarn_server_pid" ]; then
        kill "$tarn_server_pid" 2>/dev/null || true
        wait "$tarn_server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$work/prefix
echo "== install into $prefix"
"$cmake_cmd" --install "$build_dir" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install failed"; }

for f in include/TarnInteraction/ITarnInteraction.h include/EngineCore/NWLog.h include/EngineCore/EngineCoreApi.h; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
config=$(find "$prefix" -name TarnInteractionConfig.cmake | head -n 1)
[ -n "$config" ] || fail "no TarnInteractionConfig.cmake"
[ -f "$(dirname "$config")/TarnInteractionConfigVersion.cmake" ] || fail "no TarnInteractionConfigVersion.cmake"
pc=$(find "$prefix" -name tarninteraction.pc | head -n 1)
[ -n "$pc" ] || fail "no tarninteraction.pc"
find "$prefix" -name 'libTarnInteraction.so*' | grep -q . || fail "no libTarnInteraction.so"
find "$prefix" -name 'libEngineCore.so*' | grep -q . || fail "no libEngineCore.so"
for tool in tarn tarn_server; do
    [ -x "$prefix/bin/$tool" ] || fail "missing bin/$tool"
done
for f in share/man/man1/tarn.1.gz share/man/man1/tarn_server.1.gz share/doc/TarnInteraction/LICENSE \
    share/doc/TarnInteraction/README.md share/doc/TarnInteraction/docs/HostGuide.md share/doc/TarnInteraction/examples/host.cpp; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
# The static core and layer are inside the shared library, not beside it.
if find "$prefix" -name '*.a' | grep -q .; then fail "static libraries were installed: $(find "$prefix" -name '*.a')"; fi
# The test seam is only in EngineCoreTesting, which is not installed: nothing shipped exports it.
if find "$prefix" -name '*EngineCoreTesting*' | grep -q .; then fail "EngineCore's test variant was installed"; fi
while IFS= read -r lib; do
    seams=$(nm -DC --defined-only "$lib" | grep 'Test' || true)
    [ -z "$seams" ] || fail "$(basename "$lib") exports test symbols: $seams"
done < <(find "$prefix" -type f \( -name 'libEngineCore.so*' -o -name 'libTarnInteraction.so*' \))

echo "== start tarn_server"
tarn_start_server "$work/server.out" "$server" || fail "tarn_server did not start on loopback"
url=$tarn_server_url

echo "== the installed tarn, which finds the library through its rpath"
"$prefix/bin/tarn" --version | grep -q "^TarnInteraction 1\." || fail "installed tarn --version"
[ "$("$prefix/bin/tarn" get "$url/bytes/5" 2>/dev/null | wc -c)" -eq 5 ] || fail "installed tarn get"

echo "== a host through find_package(TarnInteraction)"
"$cmake_cmd" -S "$host_src" -B "$work/cmake-host" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "configuring the host against the package failed"; }
"$cmake_cmd" --build "$work/cmake-host" || fail "building the host against the package failed"
"$work/cmake-host/installed_host" "$url" || fail "the host built with the package failed"

echo "== a host through pkg-config"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
pkg-config --exists tarninteraction || fail "pkg-config does not find tarninteraction"
pc_flags=$(pkg-config --cflags --libs tarninteraction)
pc_libdir=$(pkg-config --variable=libdir tarninteraction)
echo "pkg-config --cflags --libs tarninteraction: $pc_flags"
# A private prefix is not on the loader's path: the host carries an rpath to it (a system prefix
# would run ldconfig instead).
# shellcheck disable=SC2086 # the flags are words
"$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror $flags "$host_src/host.cpp" -o "$work/pc-host" \
    $pc_flags -Wl,-rpath,"$pc_libdir" || fail "building the host with pkg-config's flags failed"
"$work/pc-host" "$url" || fail "the host built with pkg-config failed"

echo "install test: ok"
