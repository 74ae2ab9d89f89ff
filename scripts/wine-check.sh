#!/usr/bin/env bash
# Runs the Windows build under Wine against the real (Wine's) WinINet: WinSmoke.exe, a host that
# loads TarnInteraction.dll as an engine does, then the end-to-end test programs. The scripted
# servers run inside each test process; the demo server (tarn_server) runs natively beside Wine.
#
# The 32-bit product build (i686) is always cross-built and its exports checked. It runs under
# 32-bit Wine where that can be had; otherwise the x86_64 build of the same sources runs under
# wine64: when this machine cannot execute 32-bit code, when 32-bit Wine cannot be installed
# (Debian's i386 lists out of step with amd64, say), or when it cannot run the build. Which build
# ran, and why, is printed and written to $TARN_WINE_OUTCOME (build/wine-check.outcome by default).
# TARN_WINE32=off treats the 32-bit install as failed, to take the fallback on purpose.
#
# The server-fault matrix (ServerFaults/FaultMatrixTest.*) runs here as on Linux; its rows where
# Wine's WinINet gives the other outcome say why (docs/Windows.md lists them).
# The TLS fault matrix (TlsFaults/TlsMatrixTest.*) reaches tls_fault_server, run natively beside
# Wine like tarn_server; its rows where Wine's WinINet differs say why (docs/Windows.md, HTTPS).
# Tests that cannot run under Wine skip themselves and say why (listed at the end of the run):
#   PostBodyTest.PythonEmailParserIsAvailable
#       Wine starts no Linux python3 for the tests; bodies are checked by cpp-httplib's parser.
#   PostBodyTest.FileThatChangesBetweenSizingAndReading   (paced by FIFOs, which Windows lacks)
#   PostBodyTest.FailedReadKeepsWhatWasReadAndGoesOn      (needs a Linux sysfs file)
#   PostBodyMemoryTest.ExhaustedMemoryFailsWithALine, DispatchStartTest.WorkerThatCannotStart...
#       need an address-space limit (setrlimit), which Windows does not have.
# The suites of the Linux WinINet layer alone (WinInetLayer*, WinFileTests) and of the Linux
# tools (TarnCliTests, InstallTest) are not built for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
outcome_file=${TARN_WINE_OUTCOME:-build/wine-check.outcome}

scripts/build-windows.sh i686
scripts/bootstrap.sh

# Can this machine execute 32-bit x86 code? Try a 32-bit Linux program of a few bytes that only
# exits with status 32.
can_run_32bit() {
    local probe
    probe=$(mktemp)
    python3 - "$probe" <<'PY'
import struct, sys
code = bytes([0xB8, 1, 0, 0, 0, 0xBB, 32, 0, 0, 0, 0xCD, 0x80])  # exit(32) through int 0x80
base, size = 0x08048000, 52 + 32 + 12
head = struct.pack('<16sHHIIIIIHHHHHH', b'\x7fELF\x01\x01\x01' + bytes(9), 2, 3, 1, base + 84, 52, 0, 0,
                   52, 32, 1, 0, 0, 0)
prog = struct.pack('<IIIIIIII', 1, 0, base, base, size, size, 5, 0x1000)
open(sys.argv[1], 'wb').write(head + prog + code)
PY
    chmod +x "$probe"
    local status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 32 ]
}

# Installs 32-bit Wine. An i386 architecture added here is taken away again when the install
# fails, so that later installs meet the machine as it was.
install_wine32() {
    tarn_installed wine32:i386 && tarn_installed wine && return 0
    local added=0
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        added=1
    fi
    if tarn_install --optional wine wine32:i386 && tarn_installed wine32:i386; then
        return 0
    fi
    if [ "$added" = 1 ]; then
        as_root dpkg --remove-architecture i386 2>/dev/null || true
    fi
    return 1
}

# Does 32-bit Wine start the build's programs? The first test program, beside the DLLs it loads,
# lists its tests.
wine32_runs() {
    local dir status=0 first
    first=$(grep -m 1 . build/win32/windows-tests.txt)
    dir=$(mktemp -d)
    cp build/win32/TarnInteraction/TarnInteraction.dll build/win32/EngineCore/EngineCore.dll \
        build/win32/EngineCore/EngineCoreTesting.dll "build/win32/tests/$first.exe" "$dir/"
    (cd "$dir" && WINEPREFIX=$dir/prefix WINEDEBUG=-all timeout 300 wine "$first.exe" --gtest_list_tests) \
        >/dev/null 2>&1 || status=$?
    WINEPREFIX=$dir/prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$dir/prefix wineserver -w 2>/dev/null || true
    rm -rf "$dir"
    [ "$status" -eq 0 ]
}

fallback=
if [ "${TARN_WINE32:-auto}" = off ]; then
    fallback="TARN_WINE32=off treats the 32-bit Wine install as failed"
elif ! can_run_32bit; then
    fallback="this machine cannot execute 32-bit code"
elif ! install_wine32; then
    fallback="32-bit Wine could not be installed: ${tarn_install_failure:-it is not installed}"
elif ! wine32_runs; then
    fallback="32-bit Wine is installed but did not run build/win32's test programs"
fi
if [ -z "$fallback" ]; then
    arch=i686
    build=build/win32
    ran="the i686 build under 32-bit Wine"
else
    arch=x86_64
    build=build/win64
    ran="the x86_64 build under wine64 (fallback: $fallback)"
    echo "wine-check: $fallback; running the x86_64 build under wine64 instead"
    scripts/build-windows.sh x86_64
    tarn_install wine wine64
fi
echo "wine-check: running $ran"

cmake --preset release >/dev/null
cmake --build --preset release -j "$(tarn_jobs)" --target tarn_server tls_fault_server

work=$(mktemp -d)
tarn_server_pid=
tls_pid=
cleanup() {
    [ -n "$tarn_server_pid" ] && kill "$tarn_server_pid" 2>/dev/null || true
    [ -n "$tls_pid" ] && kill "$tls_pid" 2>/dev/null || true
    # Let Wine's server write its prefix and leave before the prefix goes.
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# EngineCoreTesting.dll is EngineCore with the test seam, for the suites that hold the pool.
cp "$build"/TarnInteraction/TarnInteraction.dll "$build"/EngineCore/EngineCore.dll \
    "$build"/EngineCore/EngineCoreTesting.dll "$build"/tools/winsmoke/WinSmoke.exe "$work/"
mapfile -t tests < "$build/windows-tests.txt"
for test in "${tests[@]}"; do
    [ -n "$test" ] && cp "$build/tests/$test.exe" "$work/"
done
printf 'uploaded from Wine\r\n\0binary tail' > "$work/upload.bin"

tarn_start_server "$work/server.out" build/release/tools/server/tarn_server
port=$tarn_server_port

# The TLS fault matrix's servers (TlsFaultTests), natively beside Wine like tarn_server.
build/release/tests/tls_fault_server "$work/tls-ca.pem" > "$work/tls-servers.txt" &
tls_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/tls-servers.txt" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready' "$work/tls-servers.txt" || { echo "tls_fault_server did not start" >&2; exit 1; }

export WINEPREFIX="$work/prefix" WINEDEBUG=-all TARN_TEST_SERVER_PORT="$port"
export TARN_TLS_FAULT_SERVERS="Z:$work/tls-servers.txt" TARN_TLS_FAULT_CA="Z:$work/tls-ca.pem"
wineboot -i >/dev/null 2>&1 || true

passed=0
failed=0
skipped=0
summary=()
# WinSmoke prints one "ok  " or "FAIL" line a check.
status=0
(cd "$work" && timeout 300 wine WinSmoke.exe "$port" 'upload.bin') > "$work/WinSmoke.log" 2>&1 || status=$?
cat "$work/WinSmoke.log"
smoke_ok=$(tr -d '\r' < "$work/WinSmoke.log" | grep -c '^ok  ' || true)
smoke_failed=$(tr -d '\r' < "$work/WinSmoke.log" | grep -c '^FAIL' || true)
[ "$status" -ne 0 ] && [ "$smoke_failed" -eq 0 ] && smoke_failed=1
passed=$((passed + smoke_ok))
failed=$((failed + smoke_failed))
summary+=("$(printf '%-24s %4d passed, %d failed' WinSmoke "$smoke_ok" "$smoke_failed")")

for test in "${tests[@]}"; do
    [ -n "$test" ] || continue
    status=0
    (cd "$work" && timeout 900 wine "$test.exe") > "$work/$test.raw" 2>&1 || status=$?
    tr -d '\r' < "$work/$test.raw" > "$work/$test.log" # Wine's console ends lines with CR LF
    n_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$work/$test.log")
    n_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:/\1/p' "$work/$test.log")
    n_skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:/\1/p' "$work/$test.log")
    n_passed=${n_passed:-0}
    n_failed=${n_failed:-0}
    n_skipped=${n_skipped:-0}
    if [ "$status" -ne 0 ] && [ "$n_failed" -eq 0 ]; then
        # A crash, a hang or a program that did not start: the whole suite counts as one failure.
        echo "$test.exe ended with status $status"
        n_failed=1
    fi
    if [ "$n_failed" -ne 0 ]; then
        cat "$work/$test.log"
    fi
    passed=$((passed + n_passed))
    failed=$((failed + n_failed))
    skipped=$((skipped + n_skipped))
    summary+=("$(printf '%-24s %4d passed, %d failed, %d skipped' "$test" "$n_passed" "$n_failed" "$n_skipped")")
    # Each skipped test with the reason it gave.
    awk '/^\[ RUN      \]/ { name = $4 } /Skipped$/ { getline reason; print "  skipped " name ": " reason }' \
        "$work/$test.log" | sed 's/^  skipped \(.*\): *$/  skipped \1/'
done

echo "Under Wine ($arch), per program:"
printf '  %s\n' "${summary[@]}"
echo "$skipped skipped under Wine ($arch)"
echo "$passed passed, $failed failed under Wine ($arch)"
mkdir -p "$(dirname "$outcome_file")"
echo "$ran: $passed passed, $failed failed, $skipped skipped" >"$outcome_file"
echo "wine-check: ran $ran"
scripts/windows-archive-check.sh "$arch" # the ZIP archives (i686 always), $arch's example host under Wine
[ "$failed" -eq 0 ]
