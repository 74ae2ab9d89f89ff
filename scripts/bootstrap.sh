#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing. Safe to run again.
# Usage: scripts/bootstrap.sh [extra-package...]   (the Windows and Wine scripts name theirs)
# TARN_SKIP_BOOTSTRAP=1 skips it, for machines whose packages are managed otherwise.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"

tarn_install cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
    libcurl4-openssl-dev libssl-dev libcpp-httplib-dev python3 clang-format curl "$@"
