#!/usr/bin/env bash
# Runs the real 32-bit Windows DLL under Wine: a Windows host (WinSmoke.exe) loads
# TarnInteraction.dll, which talks to Wine's WinINet, against a native loopback tarn_server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-windows.sh
scripts/bootstrap.sh

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends wine wine32:i386
fi

cmake --preset release >/dev/null
cmake --build --preset release --target tarn_server

work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    # Let Wine's server write its prefix and leave before the prefix goes.
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp build/win32/TarnInteraction/TarnInteraction.dll build/win32/EngineCore/EngineCore.dll \
    build/win32/tools/winsmoke/WinSmoke.exe "$work/"
printf 'uploaded from Wine\r\n\0binary tail' > "$work/upload.bin"

build/release/tools/server/tarn_server --port 0 > "$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
    grep -q 'listening on' "$work/server.out" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's|listening on http://127.0.0.1:||p' "$work/server.out")
[ -n "$port" ] || { echo "tarn_server did not start" >&2; exit 1; }

export WINEPREFIX="$work/prefix" WINEDEBUG=-all
(cd "$work" && timeout 300 wine WinSmoke.exe "$port" 'upload.bin')
