#!/usr/bin/env bash
# Installs what is missing, builds tarn and tarn_server, and runs the demo host against its
# embedded loopback server.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(tarn_jobs)" --target tarn tarn_server
exec build/release/tools/tarn/tarn demo "$@"
