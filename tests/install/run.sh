#!/usr/bin/env bash
# Installs Morvanel into a scratch prefix and checks it as a downstream user meets it: exactly the
# expected files, the soname links, a C and a C++ program built with find_package(morvanel) and
# with pkg-config, the installed tool, man page and completion. Then builds the .deb and .tar.gz
# with cpack, checks that both hold exactly the installed tree, installs the .deb with dpkg -i,
# uses it from the system paths and removes it with dpkg -r.
# Usage: tests/install/run.sh [BUILD_DIR]   (default: a release build, see scripts/release-build.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/release-build.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" "${MORVANEL_PACKAGING_PACKAGES[@]}"

build="${1:-$(release_build_dir)}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
scratch="$(mktemp -d)"
package_installed=""
cleanup() {
    if [ -n "$package_installed" ]; then
        echo "removing the morvanel package left installed by the failed check" >&2
        $sudo dpkg -r morvanel >/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "install check: $*" >&2
    exit 1
}

# Runs a command with its output kept back, and shows the output only when it fails.
quietly() {
    if ! "$@" >"$scratch/quiet.log" 2>&1; then
        cat "$scratch/quiet.log" >&2
        fail "failed: $*"
    fi
}

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")"
libdir="$(cache_value CMAKE_INSTALL_LIBDIR)"
config="$(cache_value CMAKE_BUILD_TYPE | tr '[:upper:]' '[:lower:]')"
[ -n "$version" ] && [ -n "$libdir" ] && [ -n "$config" ] || fail "$build is not a configured build"
major="${version%%.*}"

# Every file and link the install must hold, relative to the prefix, one per line, sorted.
expected_files() {
    {
        echo "bin/morvanel"
        echo "include/morvanel.h"
        echo "$libdir/libmorvanel.so"
        echo "$libdir/libmorvanel.so.$major"
        echo "$libdir/libmorvanel.so.$version"
        for file in morvanelConfig morvanelConfigVersion morvanelTargets "morvanelTargets-$config"; do
            echo "$libdir/cmake/morvanel/$file.cmake"
        done
        echo "$libdir/pkgconfig/morvanel.pc"
        echo "share/man/man1/morvanel.1"
        echo "share/bash-completion/completions/morvanel"
        echo "share/doc/morvanel/README.md"
        (cd docs && find . -maxdepth 1 -name '*.md' -type f) | sed 's|^\./|share/doc/morvanel/docs/|'
        (cd examples && find . -type f) | sed 's|^\./|share/doc/morvanel/examples/|'
        (cd bindings/python && find morvanel -type f -not -path '*__pycache__*') | sed 's|^|share/morvanel/python/|'
        echo "share/morvanel/csharp/Morvanel.cs"
    } | LC_ALL=C sort
}

# Files and links under a folder, relative to it, sorted.
tree_files() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
}

same_list() {  # name, expected file, actual file
    if ! diff -u "$2" "$3" >"$scratch/diff"; then
        cat "$scratch/diff" >&2
        fail "$1: the files differ from the expected list (- expected, + found)"
    fi
}

expected_files >"$scratch/expected"

echo "== cmake --install into a scratch prefix"
prefix="$scratch/prefix"
quietly cmake --install "$build" --prefix "$prefix"
tree_files "$prefix" >"$scratch/installed"
same_list "cmake --install" "$scratch/expected" "$scratch/installed"
[ "$(readlink "$prefix/$libdir/libmorvanel.so")" = "libmorvanel.so.$major" ] || fail "libmorvanel.so does not point at libmorvanel.so.$major"
[ "$(readlink "$prefix/$libdir/libmorvanel.so.$major")" = "libmorvanel.so.$version" ] || fail "libmorvanel.so.$major does not point at libmorvanel.so.$version"
soname="$(objdump -p "$prefix/$libdir/libmorvanel.so.$version" | awk '$1 == "SONAME" { print $2 }')"
[ "$soname" = "libmorvanel.so.$major" ] || fail "the library's soname is '$soname', not libmorvanel.so.$major"

# A morvanel.h in a system folder would hide a consumer build that lacks the include path.
for dir in /usr/include /usr/local/include; do
    [ ! -e "$dir/morvanel.h" ] || fail "$dir/morvanel.h exists; remove it so the consumer builds test the package's include path"
done

echo "== consumers built with find_package(morvanel)"
quietly cmake -S tests/install/consumer -B "$scratch/cmake-consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DREQUEST="$major.0" -DEXPECTED_PREFIX="$prefix"
quietly cmake --build "$scratch/cmake-consumer"
"$scratch/cmake-consumer/consumer_c"
"$scratch/cmake-consumer/consumer_cpp"
# The version file turns down a request for the next major version.
if cmake -S tests/install/consumer -B "$scratch/cmake-next-major" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DREQUEST="$((major + 1)).0" >"$scratch/next-major.log" 2>&1; then
    fail "find_package(morvanel $((major + 1)).0) accepted version $version"
fi
grep -q "compatible with requested version" "$scratch/next-major.log" || fail "find_package(morvanel $((major + 1)).0) failed for another reason: $(cat "$scratch/next-major.log")"

# Builds and runs the consumers with the flags pkg-config gives; the rest of the arguments go to
# the compilers (a run path for a prefix outside the loader's).
pkg_config_consumers() {
    local label="$1" out="$2"
    shift 2
    local flags pc_version
    flags="$(pkg-config --cflags --libs morvanel)"
    pc_version="$(pkg-config --modversion morvanel)"
    [ "$pc_version" = "$version" ] || fail "$label: pkg-config reports version '$pc_version', not $version"
    # shellcheck disable=SC2086  # the flags are separate words
    cc -std=c11 -Wall -Wextra -Werror -DEXPECTED_VERSION="\"$pc_version\"" tests/install/consumer/consumer.c \
        -o "$out/consumer_c" $flags -lm "$@"
    # shellcheck disable=SC2086
    c++ -std=c++17 -Wall -Wextra -Werror -DEXPECTED_VERSION="\"$pc_version\"" tests/install/consumer/consumer.cpp \
        -o "$out/consumer_cpp" $flags "$@"
    "$out/consumer_c"
    "$out/consumer_cpp"
}

echo "== consumers built with pkg-config"
mkdir "$scratch/pc-consumer"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" PKG_CONFIG_LIBDIR=/nonexistent \
    pkg_config_consumers "scratch prefix" "$scratch/pc-consumer" -Wl,-rpath,"$prefix/$libdir"

echo "== the installed tool, man page and completion"
"$prefix/bin/morvanel" check "$prefix"/share/doc/morvanel/examples/*.mv
"$prefix/bin/morvanel" render "$prefix/share/doc/morvanel/examples/coin.mv" -o "$scratch/coin.wav" -q
[ -s "$scratch/coin.wav" ] || fail "the installed tool wrote no coin.wav"
man_page="$prefix/share/man/man1/morvanel.1"
for needle in '^\.TH MORVANEL "1"' "morvanel $version" '^\.SS "morvanel render"' '^\.SS "morvanel check"' '\\-\\-voice'; do
    grep -q "$needle" "$man_page" || fail "the man page lacks $needle"
done
commands="$(bash -c 'source "$1"; COMP_WORDS=("$2" ""); COMP_CWORD=1; _morvanel; echo "${COMPREPLY[*]}"' _ \
    "$prefix/share/bash-completion/completions/morvanel" "$prefix/bin/morvanel")"
[ "$commands" = "render play check --help" ] || fail "the installed completion offers '$commands' as commands"

echo "== cpack: .deb and .tar.gz"
(cd "$build" && quietly cpack -B "$scratch/packages")
deb="$scratch/packages/morvanel_${version}_$(dpkg --print-architecture).deb"
tarball="$scratch/packages/morvanel-$version-Linux.tar.gz"
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"
[ -f "$tarball" ] || fail "cpack made no $(basename "$tarball")"

# Entries that are not folders, with their leading ./usr/ or top folder taken off.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' >"$scratch/deb-paths"
if grep -v '^\./usr/' "$scratch/deb-paths"; then fail "the .deb has files outside /usr"; fi
sed 's|^\./usr/||' "$scratch/deb-paths" | LC_ALL=C sort >"$scratch/deb-files"
same_list ".deb" "$scratch/expected" "$scratch/deb-files"
tar -tvzf "$tarball" | awk '$1 !~ /^d/ { print $6 }' | cut -d/ -f2- | LC_ALL=C sort >"$scratch/tar-files"
same_list ".tar.gz" "$scratch/expected" "$scratch/tar-files"
depends="$(dpkg-deb -f "$deb" Depends)"
names=" $(tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | tr '\n' ' ')"
for dependency in libsndfile1 libstdc++6 libc6; do
    [[ "$names" == *" $dependency "* ]] || fail "the .deb does not depend on $dependency (Depends: $depends)"
done

echo "== dpkg -i, use from the system paths, dpkg -r"
if dpkg-query -W -f='${Status}' morvanel 2>/dev/null | grep -q "install ok installed"; then
    fail "a morvanel package is installed already; remove it first (dpkg -r morvanel)"
fi
# dpkg fails at once while another install holds its lock: wait for it as apt-get would.
dpkg_wait() {
    local tries=0
    until $sudo dpkg "$@" 2>"$scratch/dpkg.err"; do
        if grep -q "lock" "$scratch/dpkg.err" && [ "$tries" -lt 120 ]; then
            tries=$((tries + 1))
            sleep 5
        else
            cat "$scratch/dpkg.err" >&2
            return 1
        fi
    done
}
package_installed=1
dpkg_wait -i "$deb" >/dev/null
dpkg -L morvanel >"$scratch/listed"
while read -r file; do
    grep -qx "/usr/$file" "$scratch/listed" || fail "dpkg -L morvanel does not list /usr/$file"
    [ -e "/usr/$file" ] || [ -L "/usr/$file" ] || fail "/usr/$file is missing after dpkg -i"
done <"$scratch/expected"
/usr/bin/morvanel check /usr/share/doc/morvanel/examples/coin.mv
mkdir "$scratch/system-consumer"
pkg_config_consumers "system" "$scratch/system-consumer"
env -u MORVANEL_LIBRARY PYTHONPATH=/usr/share/morvanel/python /usr/bin/python3 - <<'EOF'
import morvanel
with morvanel.Engine(48000) as engine:
    engine.parse("beep = dur(~0.01) { @loop sqr(@440) }", check=True)
    engine.start("beep")
    assert max(abs(x) for x in engine.render(480)) > 0.09
print("python: the system's library renders")
EOF

dpkg_wait -r morvanel >/dev/null
package_installed=""
if dpkg-query -W -f='${Status}' morvanel 2>/dev/null | grep -q "install ok installed"; then
    fail "morvanel is still installed after dpkg -r"
fi
while read -r file; do
    [ ! -e "/usr/$file" ] && [ ! -L "/usr/$file" ] || fail "/usr/$file is left after dpkg -r"
done <"$scratch/expected"
# dpkg -r keeps the package's maintainer scripts on record; purge leaves no trace on the machine.
dpkg_wait --purge morvanel >/dev/null
echo "install check: all passed (version $version)"
