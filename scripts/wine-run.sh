#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a Wine prefix of its own (created on first use).
# CMake uses it as the emulator of cross-compiled tests.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
#   wine-run.sh --check-32bit-kernel   exit 0 if this machine executes 32-bit x86 programs, else
#                                      print why and exit 1
#   wine-run.sh --check-32bit          the same for 32-bit Windows programs under Wine
set -euo pipefail

# Builds and runs a 32-bit x86 Linux program that only exits: some kernels have no 32-bit support
# and answer "Exec format error".
check_32bit_kernel() {
    local dir
    dir="$(mktemp -d)"
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/exit.s"
    if ! as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null || ! ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null; then
        rm -rf "$dir"
        echo "cannot build a 32-bit test program with as and ld"
        return 1
    fi
    local output status=0
    output="$("$dir/exit" 2>&1)" || status=$?
    rm -rf "$dir"
    if [ "$status" -ne 0 ]; then
        echo "this kernel cannot execute 32-bit programs: ${output##*: }"
        return 1
    fi
}

check_32bit_wine() {
    check_32bit_kernel || return 1
    # Debian's wine32 package installs the 32-bit loader here; /usr/bin/wine falls back to wine64
    # without it, and wine64 alone cannot start 32-bit programs.
    if [ ! -x /usr/lib/wine/wine ]; then
        echo "wine32 is not installed"
        return 1
    fi
    local output
    if ! output="$(/usr/lib/wine/wine --version 2>&1)"; then
        echo "the 32-bit Wine loader does not start: $output"
        return 1
    fi
}

case "${1:-}" in
    --check-32bit-kernel) check_32bit_kernel; exit ;;
    --check-32bit) check_32bit_wine; exit ;;
esac

if [ "$#" -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM [ARGS...] | --check-32bit | --check-32bit-kernel" >&2
    exit 2
fi
export WINEPREFIX="$1"
shift
# No debug chatter, no window, and no offer to install Mono or Gecko into the prefix.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if ! command -v wine >/dev/null; then
    echo "wine-run.sh: wine is not installed (scripts/deps.sh lists it in MORVANEL_WINDOWS_PACKAGES)" >&2
    exit 1
fi
# Tests start in parallel: the first one builds the prefix while the others wait for it.
mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.initialised" ]; then
        if ! wineboot --init >"$WINEPREFIX.log" 2>&1; then
            echo "wine-run.sh: could not create the Wine prefix $WINEPREFIX:" >&2
            cat "$WINEPREFIX.log" >&2
            exit 1
        fi
        touch "$WINEPREFIX/.initialised"
    fi
) 9>"$WINEPREFIX.lock"
# Starting Wine's server and services costs seconds; keeping them for half a minute after the
# last program ends lets the next test start in a fraction of one. A server already running
# refuses the request, which is fine.
wineserver -p30 </dev/null >/dev/null 2>&1 || true
# The server and services stay in the background holding whatever output they inherited, and
# ctest would wait for them to close it: the program writes to files, shown when it ends.
output="$(mktemp -d)"
trap 'cat "$output/stdout"; cat "$output/stderr" >&2; rm -rf "$output"' EXIT
status=0
wine "$@" >"$output/stdout" 2>"$output/stderr" </dev/null || status=$?
exit "$status"
