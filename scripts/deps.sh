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
    nlohmann-json3-dev sox python3 portaudio19-dev librtmidi-dev libsmf-dev libjack-jackd2-dev)

# What the live tests need besides: a JACK server, run with its dummy driver (no sound card).
MORVANEL_LIVE_PACKAGES=(jackd2)

# What building and running the fuzz targets needs: clang 14 with its sanitizer and libFuzzer
# runtimes, and llvm-14 for the symbolizer that turns sanitizer reports into readable stacks.
MORVANEL_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
