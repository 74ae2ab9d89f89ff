#!/usr/bin/env bash
# Checks the build graph: every combination of TARN_BUILD_TOOLS, TARN_BUILD_TESTS and
# TARN_BUILD_BENCH configures, and the three with a single one of them on build (warnings as
# errors). Then Clang builds the library with its thread-safety analysis, as errors, which checks
# the locking of EngineCore and of the Linux layer, the declared lock order included. Build trees
# go to build/config-*.
# Usage: scripts/build-configs.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
scripts/bootstrap.sh clang-14
jobs=${1:-$(tarn_jobs)}

configure() { # name tools tests bench
    cmake -S . -B "build/config-$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_WARNINGS_AS_ERRORS=ON \
        -DTARN_BUILD_TOOLS="$2" -DTARN_BUILD_TESTS="$3" -DTARN_BUILD_BENCH="$4" >/dev/null
}

for tools in OFF ON; do
    for tests in OFF ON; do
        for bench in OFF ON; do
            name="tools$tools-tests$tests-bench$bench"
            echo "=== configure $name"
            configure "$name" "$tools" "$tests" "$bench"
        done
    done
done
for name in toolsON-testsOFF-benchOFF toolsOFF-testsON-benchOFF toolsOFF-testsOFF-benchON; do
    echo "=== build $name"
    cmake --build "build/config-$name" -j "$jobs"
done
echo "=== build with Clang's thread-safety analysis"
cmake -S . -B build/config-clang-thread-safety -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_WARNINGS_AS_ERRORS=ON \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DTARN_BUILD_TOOLS=OFF -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF >/dev/null
cmake --build build/config-clang-thread-safety -j "$jobs"
