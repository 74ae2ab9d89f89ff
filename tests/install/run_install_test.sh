#!/usr/bin/env bash
# Installs a build into a temporary prefix, runs the installed tarn, then builds two small hosts against what was
# installed (one through find_package, one through pkg-config) and runs both against a loopback
# tarn_server.
# Usage: run_install_test.sh CMAKE BUILD_DIR HOST_SOURCE_DIR TARN_SERVER CXX GENERATOR [FLAGS]
#   FLAGS: extra compile and link flags for the hosts (the build's sanitizer, if any).
set -euo pipefail
cmake_cmd=$1 build_dir=$2 host_src=$3 server=$4 cxx=$5 generator=$6 flags=${7:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-install-test.XXXXXX")
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
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
# The static core and layer are inside the shared library, not beside it.
if find "$prefix" -name '*.a' | grep -q .; then fail "static libraries were installed: $(find "$prefix" -name '*.a')"; fi

echo "== start tarn_server"
"$server" --port 0 >"$work/server.out" 2>&1 &
server_pid=$!
url=
for _ in $(seq 1 100); do
    url=$(sed -n 's/^listening on //p' "$work/server.out")
    [ -n "$url" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$url" ] || { cat "$work/server.out"; fail "tarn_server did not start"; }
case "$url" in http://127.0.0.1:*) ;; *) fail "tarn_server is not on loopback: $url" ;; esac

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
