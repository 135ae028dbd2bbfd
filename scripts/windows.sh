#!/usr/bin/env bash
# Builds morvanel.dll for 64-bit and 32-bit Windows with MinGW-w64 (presets windows-x64 and
# windows-x86) and tests both under Wine, installing what the machine lacks first: the DLLs'
# export and import tables, the unit tests, the C hosts, and every example's render against the
# Linux library's, sample for sample. 32-bit programs run only where the kernel executes 32-bit
# code; elsewhere their tests report "skipped: no 32-bit support".
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" "${MORVANEL_WINDOWS_PACKAGES[@]}"
if scripts/wine-run.sh --check-32bit-kernel >/dev/null; then
    enable_i386_architecture
    ensure_packages "${MORVANEL_WINE32_PACKAGES[@]}"
fi

# The Linux library's renders, from the same sources, for the Windows builds to compare with.
cmake --preset release >/dev/null
cmake --build --preset release --parallel 2 --target morvanel_example_renders
renders="$PWD/build/release/example-renders"
build/release/tests/morvanel_example_renders write examples "$renders" >/dev/null

# Wine keeps a server and its services running for a while after the tests: end them.
stop_wine() {
    local arch
    for arch in x64 x86; do
        if [ -d "build/windows-$arch/wine-prefix" ]; then
            WINEPREFIX="$PWD/build/windows-$arch/wine-prefix" wineserver -k 2>/dev/null || true
        fi
    done
}
trap stop_wine EXIT

for arch in x64 x86; do
    echo "== windows-$arch: build"
    cmake --preset "windows-$arch" -DMORVANEL_LINUX_RENDERS="$renders" >/dev/null
    cmake --build --preset "windows-$arch"
done

# Wine's prefix and server are set up before the tests start, outside any test's time limit.
echo "== windows-x64: tests under Wine"
scripts/wine-run.sh "$PWD/build/windows-x64/wine-prefix" wineboot
ctest --preset windows-x64
echo "== windows-x86: tests"
if reason="$(scripts/wine-run.sh --check-32bit)"; then
    scripts/wine-run.sh "$PWD/build/windows-x86/wine-prefix" wineboot
    ctest --preset windows-x86
else
    # The export and import tables are read on this machine; every other test reports the reason.
    ctest --preset windows-x86
    echo "skipped: no 32-bit support ($reason): the x86 DLL and its test programs were built and its export and import tables checked, but none of its programs ran"
fi
