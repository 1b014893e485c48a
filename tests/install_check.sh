#!/usr/bin/env bash
# Installs Pagekiln into a temporary prefix and checks, in a real X session
# (Xvfb), that the installed program starts and finds the installed port
# library, and that with the simulated chip first on the library path a press
# of Write programs the file. Waits are for windows to appear, each bounded.
#   install_check.sh BUILD_DIR SIMULATOR_DIR SIMCHIP_DUMP
set -euo pipefail
build="$1" simulator="$2" dump="$3"

for tool in xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
check() { # check DESCRIPTION COMMAND...
    local what="$1"; shift
    if "$@"; then echo "PASS  $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

exe="$prefix/bin/pagekiln"
library="$(find "$prefix" -name libinpout32.so -path '*/pagekiln/*' | head -n 1)"
check "the program is installed" test -x "$exe"
check "the hardware port library is installed beside it" test -n "$library"
check "the command-line program is installed" test -x "$prefix/bin/pagekiln-cli"
check "the desktop entry is installed" test -f "$prefix/share/applications/pagekiln.desktop"
check "the icon is installed" test -f "$prefix/share/icons/hicolor/128x128/apps/pagekiln.png"
check "the simulated chip is not installed" test -z "$(find "$prefix" -path '*simulator*' -print -quit)"

# Settings for the runs: port 378 and a file to write.
home="$work/home"
mkdir -p "$home/.config/pagekiln.org"
head -c 1500 /dev/urandom > "$work/boot.ldr"
printf '[General]\nlpt_address=378\nfile_path=%s\n' "$work/boot.ldr" > "$home/.config/pagekiln.org/Pagekiln2.conf"

# press_write LOG BOX [ENV...]: starts the installed program, presses Write,
# and waits for the box titled BOX that ends the run.
cat > "$work/press_write.sh" <<'SCRIPT'
set -u
log="$1" box="$2"; shift 2
env "$@" "$EXE" > "$log" 2>&1 &
program=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Pagekiln$' | head -n 1)
status=1
if [ -n "$window" ]; then
    xdotool mousemove --window "$window" 200 141 click 1
    timeout 60 xdotool search --sync --onlyvisible --name "^$box\$" >/dev/null && status=0
fi
kill "$program" 2>/dev/null
wait "$program" 2>/dev/null
exit $status
SCRIPT

# Port locks in a runtime folder of this run's own: other test runs on this
# machine have their simulated chips on port 378 too.
mkdir -p "$work/run"
export EXE="$exe" HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" PAGEKILN_LOCK_DIR="$work/run"
unset LD_LIBRARY_PATH QT_QPA_PLATFORM

# 1. On its own the program loads the installed hardware library, which finds
#    no parallel port on this machine and says so in a warning box.
check "the installed program starts and reports the port library's problem" \
    xvfb-run -a bash "$work/press_write.sh" "$work/run1.log" Problem LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld"
loaded_library() {
    local loaded
    loaded="$(sed -n 's/.*calling init: \(.*libinpout32\.so\)$/\1/p' "$work"/ld.* | head -n 1)"
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$library")" ]
}
check "the port library it loaded is the installed one" loaded_library

# 2. With the simulated chip first on the library path, Write programs the
#    file; a new chip is in 264-byte pages, so the run ends with the notice.
check "with the simulated chip, a press of Write runs to the end" \
    xvfb-run -a bash "$work/press_write.sh" "$work/run2.log" Notice \
    LD_LIBRARY_PATH="$simulator" PAGEKILN_SIM_IMAGE="$work/chip.img" PAGEKILN_SIM_FAST=1
"$dump" "$work/chip.img" "$work/chip.bin" 264 >/dev/null
check "the chip holds the file" cmp -s -n 1500 "$work/chip.bin" "$work/boot.ldr"

# 3. The command-line program, installed beside the window, finds the same
#    port library and, with the simulated chip first on the path, the chip.
cli_info() {
    LD_LIBRARY_PATH="$simulator" PAGEKILN_SIM_IMAGE="$work/chip.img" PAGEKILN_SIM_FAST=1 \
        "$prefix/bin/pagekiln-cli" info --port 378 > "$work/info.txt" 2>&1 &&
        grep -q "AT45DB041D (ID 1F 24 00 00)" "$work/info.txt"
}
check "the installed command-line program identifies the chip" cli_info
cli_without_chip() {
    local status=0
    "$prefix/bin/pagekiln-cli" info > "$work/info2.txt" 2>&1 || status=$?
    [ "$status" -eq 1 ] && grep -q "^pagekiln-cli: " "$work/info2.txt"
}
check "without the simulated chip it reports the port library's problem" cli_without_chip

checks=12
passed=$(( checks - failures ))
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
