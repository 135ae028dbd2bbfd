# Installs the Debian packages named in the arguments that are not installed yet (apt-get update
# runs once, and only when something is missing). Sourced by the other scripts.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    # Several scripts may install at once (CI steps, parallel set-ups): wait for dpkg's lock
    # instead of failing on it.
    local wait=(-o DPkg::Lock::Timeout=600)
    $sudo apt-get "${wait[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing Morvanel needs; the tool plays through PortAudio, takes MIDI input
# through RtMidi and reads MIDI files with libsmf; the live tests' client is built on libjack.
MORVANEL_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libsndfile1-dev libcli11-dev
    nlohmann-json3-dev sox python3 help2man portaudio19-dev librtmidi-dev libsmf-dev libjack-jackd2-dev)

# What the live tests need besides: a JACK server, run with its dummy driver (no sound card).
MORVANEL_LIVE_PACKAGES=(jackd2)

# What building and running the fuzz targets needs: clang 14 with its sanitizer and libFuzzer
# runtimes, and llvm-14 for the symbolizer that turns sanitizer reports into readable stacks.
MORVANEL_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)

# What the install and package checks need beyond the build: dpkg-shlibdeps, which works out the
# .deb's dependencies.
MORVANEL_PACKAGING_PACKAGES=(dpkg-dev)

# What the Python and C# bindings' tests need: pytest, NumPy and mypy for Debian's python3, and Mono's
# C# compiler and runtime.
MORVANEL_BINDINGS_PACKAGES=(python3-pytest python3-numpy python3-mypy mono-mcs mono-runtime)

# What the web build and its tests need: Debian's Emscripten for the module, Node for the package
# and its tests, Chromium for the page's tests (driven by playwright-core from npm, never a
# downloaded browser).
MORVANEL_WEB_PACKAGES=(emscripten nodejs chromium)

# npm comes with Debian's nodejs in its own package; other nodejs builds bring their own npm and
# conflict with Debian's, so the package is installed only when no npm exists.
ensure_npm() {
    if ! command -v npm >/dev/null; then ensure_packages npm; fi
}

# What the Windows step needs: the MinGW-w64 cross compilers (POSIX thread model) with their
# binutils, Wine to run the tests, and GoogleTest's sources to build for Windows.
MORVANEL_WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
    binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 libgtest-dev)

# 32-bit Windows programs under Wine, on machines whose kernel runs 32-bit code: Debian's i386
# architecture must be enabled first (enable_i386_architecture).
MORVANEL_WINE32_PACKAGES=(wine32:i386)

enable_i386_architecture() {
    if dpkg --print-foreign-architectures | grep -qx i386; then
        return 0
    fi
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo dpkg --add-architecture i386
}
