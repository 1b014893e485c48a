#!/usr/bin/env bash
# Checks the Debian package: lintian on it, then installed on this machine
# with apt-get, the installed programs (the version, info against the
# simulated chip, the private port library found without LD_LIBRARY_PATH),
# the manual page and the bash completion; then the package is purged again.
# Exit 77: the check cannot run here (the reason is printed).
#   package_check.sh DEB SIMULATOR_DIR
set -uo pipefail
deb="$(realpath "$1")" simulator="$2"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "SKIP: installing a package needs root or sudo"; exit 77; }
    sudo="sudo"
fi
command -v lintian >/dev/null || { echo "SKIP: lintian is not installed"; exit 77; }

failures=0 checks=0
check() { # check DESCRIPTION COMMAND...
    local what="$1"; shift
    checks=$((checks + 1))
    if "$@"; then echo "PASS  $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

lintian_clean() {
    # Info tags shown too (they do not fail the check); the README explains them.
    lintian --fail-on error,warning --display-info "$deb" > "$work/lintian.txt" 2>&1
    local status=$?
    grep -v "running with root privileges" "$work/lintian.txt" | sed 's/^/      lintian: /'
    return $status
}
check "lintian reports no errors and no warnings" lintian_clean

# Installing is machine-wide: other test runs on this machine wait their turn
# rather than install their package over this one.
exec 9>/run/lock/pagekiln-package-check.lock
flock -w 900 9 || { echo "FAIL  another package check held the machine for 15 minutes"; exit 1; }
apt_get() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" > "$work/apt.txt" 2>&1 ||
        { sed 's/^/      apt-get: /' "$work/apt.txt"; return 1; }
}
trap 'apt_get purge pagekiln; rm -rf "$work"' EXIT
check "apt-get installs $(basename "$deb")" apt_get install "$(dirname "$deb")/$(basename "$deb")"

mkdir -p "$work/home" "$work/run"
cli() { HOME="$work/home" XDG_RUNTIME_DIR="$work/run" PAGEKILN_LOCK_DIR="$work/run" pagekiln-cli "$@"; }
version() { [ "$(cli --version)" = "pagekiln-cli $(dpkg-query -W -f='${Version}' pagekiln)" ]; }
check "pagekiln-cli --version names the package's version" version
simulated_info() {
    LD_LIBRARY_PATH="$simulator" PAGEKILN_SIM_IMAGE=none cli info --port 378 > "$work/info.txt" 2>&1
    local status=$?
    grep -q "^Chip:        AT45DB041D (ID 1F 24 00 00)$" "$work/info.txt" && [ $status -eq 0 ] ||
        { sed 's/^/      /' "$work/info.txt"; return 1; }
}
check "pagekiln-cli info finds the simulated chip first on LD_LIBRARY_PATH" simulated_info
# Only the ppdev port library speaks of /dev/parport or /proc/sys/dev/parport.
private_library() {
    local status=0
    env -u LD_LIBRARY_PATH HOME="$work/home" XDG_RUNTIME_DIR="$work/run" PAGEKILN_LOCK_DIR="$work/run" pagekiln-cli info --port 378 \
        > "$work/info2.txt" 2>&1 || status=$?
    [ $status -eq 1 ] && grep -qE "^pagekiln-cli: .*(/dev/parport|/proc/sys/dev/parport)" "$work/info2.txt" ||
        { sed 's/^/      /' "$work/info2.txt"; return 1; }
}
check "without it, the installed ppdev port library is loaded and says why it reaches no port" private_library
check "the port library is not on the system's library path" bash -c '! ldconfig -p | grep -q libinpout32'
check "man -w pagekiln-cli finds the manual page" bash -c 'man -w pagekiln-cli | grep -q "/man1/pagekiln-cli.1.gz$"'
completes() { # completes "WORDS BEING TYPED" EXPECTED
    local reply
    reply="$(bash -c 'source /usr/share/bash-completion/completions/pagekiln-cli
                      COMP_WORDS=($1); [[ $1 == *" " ]] && COMP_WORDS+=("")
                      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _pagekiln_cli; echo "${COMPREPLY[*]}"' _ "$1")"
    [ "$reply" = "$2" ] || { echo "      '$1' completes to '$reply'"; return 1; }
}
check "bash completes the commands" completes "pagekiln-cli wr" "write"
check "and --no-verify after write" completes "pagekiln-cli write boot.ldr --no" "--no-verify"
check "and --raw after update" completes "pagekiln-cli update boot.ldr --ra" "--raw"
check "and the links after --programmer" completes "pagekiln-cli info --programmer sp" "spidev"

removed() { apt_get purge pagekiln && ! dpkg-query -W -f='${Status}' pagekiln 2>/dev/null | grep -q installed && [ ! -e /usr/bin/pagekiln-cli ]; }
check "apt-get purge removes it again" removed
trap 'rm -rf "$work"' EXIT

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
