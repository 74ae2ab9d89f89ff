#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing. Safe to run again.
# Usage: scripts/bootstrap.sh [extra-package...]   (the Windows and Wine scripts name theirs)
# TARN_SKIP_BOOTSTRAP=1 skips it, for machines whose packages are managed otherwise.
set -euo pipefail

if [ "${TARN_SKIP_BOOTSTRAP:-0}" = 1 ]; then
    exit 0
fi

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libcurl4-openssl-dev libssl-dev libcpp-httplib-dev python3 clang-format curl "$@")
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]} (TARN_SKIP_BOOTSTRAP=1 skips this)"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    # Another apt or dpkg run (an unattended upgrade, say) may hold the lock: wait for it.
    lock_wait=(-o "DPkg::Lock::Timeout=${TARN_DPKG_LOCK_TIMEOUT:-600}")
    # A failed refresh (lists locked, or no network) leaves the lists at hand, which may do.
    "${sudo_cmd[@]}" apt-get "${lock_wait[@]}" update -qq ||
        echo "bootstrap: apt-get update failed; installing from the package lists at hand" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "${lock_wait[@]}" install -y -qq \
        --no-install-recommends "${missing[@]}"
fi
