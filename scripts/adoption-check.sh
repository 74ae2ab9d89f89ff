#!/usr/bin/env bash
# What a new user meets, checked end to end against loopback tarn_servers:
#   examples  the example hosts built with CMake (find_package) and with make (pkg-config) against an
#             install of the release build under a temporary prefix; the log-sink host must name
#             the status of a 404 and the error code of a refused connection;
#   embed     a project that embeds TarnInteraction with add_subdirectory, with GoogleTest, Google
#             Benchmark and pkg-config out of reach, builds and runs the example host;
#   package   cpack -G DEB: the library, -dev and tools packages, each passed by lintian with no
#             error (warnings printed), unpacked together with dpkg -x into a temporary root: the
#             packaged README's links, its tarn against its tarn_server, and the example host
#             built against its library.
# Builds the release preset first (nothing to do when scripts/test.sh has run). Temporary files
# go to $TMPDIR and are removed; the build trees are build/release and build/embed.
# Usage: scripts/adoption-check.sh [examples] [embed] [package]   (all three by default)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
. scripts/lib/common.sh
scripts/bootstrap.sh make dpkg-dev

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(examples embed package)
jobs=$(tarn_jobs)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-adoption.XXXXXX")
servers=()
cleanup() {
    for pid in "${servers[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "adoption check: $*" >&2; exit 1; }

# start_server TARN_SERVER NAME: starts it on a free port; sets $port.
start_server() {
    tarn_start_server "$work/$2.out" "$1" || fail "$1 did not start"
    servers+=("$tarn_server_pid")
    port=$tarn_server_port
}

# run_host PROGRAM PORT: the example host must deliver both requests, the file's bytes intact.
run_host() {
    "$1" 127.0.0.1 "$2" "$source_dir/examples/host.cpp" >"$work/host.out" 2>&1 || { cat "$work/host.out"; fail "$1 failed"; }
    local size
    size=$(wc -c <"$source_dir/examples/host.cpp")
    grep -q "^name=replay filename=.*host.cpp size=$size " "$work/host.out" || { cat "$work/host.out"; fail "$1: upload not echoed"; }
    grep -q "^motd: ok" "$work/host.out" || { cat "$work/host.out"; fail "$1: no GET"; }
    echo "$1: ok"
}

# run_log_sink PROGRAM PORT REFUSED_PORT: each failure must come with its reason from the log
# (in any order: Poll delivers what finished first).
run_log_sink() {
    "$1" "http://127.0.0.1:$2/bytes/5" "http://127.0.0.1:$2/status/404" "http://127.0.0.1:$3/x" \
        >"$work/sink.out" 2>&1 || { cat "$work/sink.out"; fail "$1 failed"; }
    local expected='url1: ok, 5 bytes
url2: failed, HTTP status 404
url3: failed, error code 12029'
    [ "$(sort "$work/sink.out")" = "$expected" ] || { cat "$work/sink.out"; fail "$1: not the reasons expected"; }
    echo "$1: ok"
}

release_build() {
    [ -n "${release_built:-}" ] && return
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$jobs"
    release_built=1
}

check_examples() {
    echo "=== examples against an install under a temporary prefix"
    release_build
    local prefix=$work/prefix
    cmake --install build/release --prefix "$prefix" >/dev/null
    # A port where a server has just stopped: connecting to it is refused.
    start_server "$prefix/bin/tarn_server" refused-server
    local refused=$port
    kill "$tarn_server_pid" && wait "$tarn_server_pid" 2>/dev/null || true
    start_server "$prefix/bin/tarn_server" examples-server
    cmake -S examples -B "$work/example-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/example-cmake" >/dev/null
    run_host "$work/example-cmake/example_host" "$port"
    run_log_sink "$work/example-cmake/example_log_sink" "$port" "$refused"
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" make -s -C examples OUT="$work" CXXFLAGS="-O2 -Wall -Wextra -Werror"
    run_host "$work/example_host" "$port"
    run_log_sink "$work/example_log_sink" "$port" "$refused"
}

check_embed() {
    echo "=== a project embedding TarnInteraction with add_subdirectory"
    release_build
    cmake -S tests/embed -B build/embed -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_SOURCE_DIR="$source_dir" \
        --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
        -DPKG_CONFIG_EXECUTABLE=/nonexistent/pkg-config >"$work/embed-configure.log" ||
        { cat "$work/embed-configure.log"; fail "configuring the embedding project failed"; }
    cmake --build build/embed -j "$jobs" >/dev/null
    start_server build/release/tools/server/tarn_server embed-server
    run_host build/embed/embedded_host "$port"
}

check_package() {
    echo "=== the Debian packages"
    release_build
    tarn_install lintian
    (cd build/release && cpack -G DEB -B "$work/package" >"$work/cpack.log") ||
        { cat "$work/cpack.log"; fail "cpack failed"; }
    local debs=("$work"/package/*.deb) deb root=$work/root status
    [ ${#debs[@]} -eq 3 ] || fail "cpack made ${#debs[@]} packages, not 3"
    for deb in "${debs[@]}"; do
        dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/\1:/p'
        dpkg -c "$deb" | awk '{print $6, $7, $8}'
        # Warnings are printed (the README says why each is left); an error fails the step.
        status=0
        lintian "$deb" >"$work/lintian.out" 2>&1 || status=$?
        sed '/^running with root privileges/d' "$work/lintian.out"
        ! grep -q '^E:' "$work/lintian.out" || fail "lintian reports errors on $(basename "$deb")"
        [ "$status" -eq 0 ] || fail "lintian ended with status $status on $(basename "$deb")"
        dpkg -x "$deb" "$root"
    done
    [[ "$(dpkg-deb -f "$work"/package/tarninteraction-tools_*.deb Depends)" == *libcpp-httplib* ]] ||
        fail "the tools package does not depend on cpp-httplib"
    for deb in "$work"/package/libtarninteraction*.deb; do
        [[ "$(dpkg-deb -f "$deb" Depends)" != *httplib* ]] || fail "$(basename "$deb") depends on cpp-httplib"
    done
    # The packaged README's links lead to packaged files.
    local doc=$root/usr/share/doc/libtarninteraction-dev link
    for link in $(grep -o '](\([^)]*\))' "$doc/README.md" | sed 's/^](\(.*\))$/\1/; s/#.*//' | grep -v '^https\?:' | grep .); do
        [ -e "$doc/$link" ] || fail "the packaged README links to $link, which is not packaged"
    done
    start_server "$root/usr/bin/tarn_server" package-server
    "$root/usr/bin/tarn" --version | grep -q "^TarnInteraction .*($root/usr/lib/" ||
        fail "the package's tarn does not run on the package's library"
    [ "$("$root/usr/bin/tarn" get "http://127.0.0.1:$port/bytes/5" 2>/dev/null | wc -c)" -eq 5 ] ||
        fail "the package's tarn get"
    "$root/usr/bin/tarn" -s post "http://127.0.0.1:$port/upload" -F a=b | grep -q "^name=a " ||
        fail "the package's tarn post"
    cmake -S examples -B "$work/package-host" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
    cmake --build "$work/package-host" >/dev/null
    # Not ldd | grep -q: grep leaving early would break ldd's pipe, and pipefail would count that.
    ldd "$work/package-host/example_host" >"$work/ldd.out"
    grep -q "$root/usr/lib/libTarnInteraction.so" "$work/ldd.out" ||
        fail "the example host does not load the package's library"
    run_host "$work/package-host/example_host" "$port"
}

for step in "${steps[@]}"; do
    case "$step" in
    examples | embed | package) "check_$step" ;;
    *) fail "unknown step $step" ;;
    esac
done
echo "adoption check: ok"
