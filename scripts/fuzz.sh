#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (AddressSanitizer+UndefinedBehaviorSanitizer) and runs each
# for a while against its corpus in fuzz/corpus. New inputs go to build/fuzz/corpus/<target>; the
# corpus in the repository is read, never changed. A finding stops the script with the fuzzer's
# report and leaves the crashing input in build/fuzz/.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
seconds=${1:-60}
scripts/bootstrap.sh clang-14 libclang-rt-14-dev

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DTARN_BUILD_FUZZ=ON -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_TOOLS=OFF -DTARN_BUILD_BENCH=OFF \
    -DTARN_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/fuzz -j "$(tarn_jobs)" --target fuzz_post_body fuzz_response_head

cd build/fuzz
for target in post_body response_head; do
    echo "=== fuzz_$target, ${seconds}s"
    mkdir -p "corpus/$target"
    ./fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -dict="../../fuzz/$target.dict" "corpus/$target" "../../fuzz/corpus/$target"
done
