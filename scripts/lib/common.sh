# Shell helpers the project's scripts share; source it, don't run it:
#   . "$(dirname "$0")/lib/common.sh"        (from scripts/)
# as_root CMD...                run CMD as root: directly when we are root, else through sudo
# tarn_jobs                     parallel build jobs: $TARN_JOBS, else the processor count
# tarn_installed PKG            whether a Debian package is installed
# tarn_install [--optional] PKG...
#                               install the packages that are missing (see below)
# tarn_start_server LOG PROG [ARG...]
#                               start a server on a free loopback port (see below)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

tarn_jobs() {
    echo "${TARN_JOBS:-$(nproc 2>/dev/null || echo 2)}"
}

tarn_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt-get that waits for a dpkg or lists lock another process holds (an unattended upgrade, say).
tarn_apt() {
    DEBIAN_FRONTEND=noninteractive as_root apt-get -o "DPkg::Lock::Timeout=${TARN_DPKG_LOCK_TIMEOUT:-600}" "$@"
}

# The last apt-get error lines of a log, on one line.
tarn_apt_errors() {
    grep -E '^(E:|Err:| [^ ].* : |  +(Depends|PreDepends|Breaks|Conflicts):)' "$1" |
        sed 's/^ *//' | tail -n 6 | paste -sd ';' - | sed 's/;/; /g'
}

# Refreshes the package lists, TARN_APT_UPDATE_TRIES times at most (3), 10 s apart. A refresh can
# fail for a while (a mirror being synced, no network) while the lists at hand still serve: that is
# not fatal here; an install that then fails says why.
tarn_refresh_lists() {
    local tries=${TARN_APT_UPDATE_TRIES:-3} try log
    log=$(mktemp)
    for try in $(seq 1 "$tries"); do
        if tarn_apt update -qq >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        [ "$try" -lt "$tries" ] && sleep "${TARN_APT_UPDATE_PAUSE:-10}"
    done
    tarn_refresh_failure="apt-get update failed $tries times: $(grep -m 1 '^E:' "$log")"
    echo "install: apt-get update failed $tries times ($(tarn_apt_errors "$log")); going on with the lists at hand" >&2
    rm -f "$log"
    return 1
}

# Installs the packages that are not installed yet; nothing to do when all are (and nothing at all
# with TARN_SKIP_BOOTSTRAP=1, for machines whose packages are managed otherwise). When the install
# fails, names each package that could not be installed and apt's reason. Then exits with status 1,
# or returns 1 with --optional, for a caller that has another way; $tarn_install_failure then says
# why in one line.
tarn_install() {
    local optional=0
    if [ "${1:-}" = --optional ]; then
        optional=1
        shift
    fi
    tarn_install_failure=
    [ "${TARN_SKIP_BOOTSTRAP:-0}" = 1 ] && return 0
    local missing=() pkg
    for pkg in "$@"; do
        tarn_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "install: installing ${missing[*]} (TARN_SKIP_BOOTSTRAP=1 skips this)"
    tarn_refresh_failure=
    tarn_refresh_lists || true
    local log
    log=$(mktemp)
    if tarn_apt install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    # Which of them, and why: each one tried alone, without changing anything.
    local failed=() held=() why
    why=$(mktemp)
    for pkg in "${missing[@]}"; do
        tarn_installed "$pkg" && continue
        if tarn_apt install -s --no-install-recommends "$pkg" >"$why" 2>&1; then
            held+=("$pkg")
            continue
        fi
        failed+=("$pkg")
        echo "install: cannot install $pkg: $(tarn_apt_errors "$why")" >&2
        [ -n "$tarn_install_failure" ] || tarn_install_failure="$pkg: $(grep '^E:' "$why" | tail -n 1)"
    done
    if [ ${#failed[@]} -eq 0 ]; then
        tarn_install_failure="apt-get install: $(grep '^E:' "$log" | tail -n 1)"
        echo "install: each package would install alone, yet the install failed: $(tarn_apt_errors "$log")" >&2
    fi
    rm -f "$log" "$why"
    if [ -n "$tarn_refresh_failure" ]; then
        tarn_install_failure+=" (after $tarn_refresh_failure)"
    fi
    echo "install: not installed: ${failed[*]} ${held[*]}" >&2
    [ "$optional" = 1 ] && return 1
    exit 1
}

# Starts PROG --port 0 ARG... in the background with its output in LOG, and waits up to 10 s for its
# "listening on http://127.0.0.1:PORT" line. Sets tarn_server_pid, tarn_server_port and
# tarn_server_url; the caller stops the server. Prints LOG and returns 1 when it did not start.
tarn_start_server() {
    local log=$1 prog=$2
    shift 2
    "$prog" --port 0 "$@" >"$log" 2>&1 &
    tarn_server_pid=$!
    tarn_server_port=
    tarn_server_url=
    local _
    for _ in $(seq 1 100); do
        tarn_server_port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$log")
        if [ -n "$tarn_server_port" ]; then
            tarn_server_url=http://127.0.0.1:$tarn_server_port
            return 0
        fi
        kill -0 "$tarn_server_pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log" >&2
    echo "$prog did not start" >&2
    return 1
}
