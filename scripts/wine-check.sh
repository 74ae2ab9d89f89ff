#!/usr/bin/env bash
# Runs the Windows build under Wine against the real (Wine's) WinINet: WinSmoke.exe, a host that
# loads TarnInteraction.dll as an engine does, then the end-to-end test programs. The scripted
# servers run inside each test process; the demo server (tarn_server) runs natively beside Wine.
#
# The 32-bit product build (i686) is always cross-built. It runs where this machine can execute
# 32-bit code; elsewhere (no IA-32 emulation) the x86_64 build of the same sources runs under
# wine64. Which one is found by trying, and printed.
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
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

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

if can_run_32bit; then
    arch=i686
    build=build/win32
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
        "${sudo_cmd[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends wine wine32:i386
    fi
else
    arch=x86_64
    build=build/win64
    echo "wine-check: this machine cannot execute 32-bit code; running the x86_64 build under wine64"
    scripts/build-windows.sh x86_64
    scripts/bootstrap.sh wine wine64
fi
echo "wine-check: running the $arch build under Wine"

cmake --preset release >/dev/null
cmake --build --preset release --target tarn_server tls_fault_server

work=$(mktemp -d)
server_pid=
tls_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$tls_pid" ] && kill "$tls_pid" 2>/dev/null || true
    # Let Wine's server write its prefix and leave before the prefix goes.
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp "$build"/TarnInteraction/TarnInteraction.dll "$build"/EngineCore/EngineCore.dll \
    "$build"/tools/winsmoke/WinSmoke.exe "$work/"
mapfile -t tests < "$build/windows-tests.txt"
for test in "${tests[@]}"; do
    [ -n "$test" ] && cp "$build/tests/$test.exe" "$work/"
done
printf 'uploaded from Wine\r\n\0binary tail' > "$work/upload.bin"

build/release/tools/server/tarn_server --port 0 > "$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
    grep -q 'listening on' "$work/server.out" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's|listening on http://127.0.0.1:||p' "$work/server.out")
[ -n "$port" ] || { echo "tarn_server did not start" >&2; exit 1; }

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
[ "$failed" -eq 0 ]
