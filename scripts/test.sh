#!/usr/bin/env bash
# Installs what is missing, builds and runs the test suite.
# Usage: scripts/test.sh [preset...]   presets: release (default), debug, asan, tsan
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
scripts/bootstrap.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(release)
jobs=$(tarn_jobs)
for preset in "${presets[@]}"; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
