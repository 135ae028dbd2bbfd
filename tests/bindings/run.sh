#!/usr/bin/env bash
# Tests the Python and the C# binding against the library of a release build: pytest under
# Debian's python3, and the C# tests compiled with Mono's mcs and run with mono. Both compare their
# renders with reference_render.c's, which drives the C API directly.
# Usage: tests/bindings/run.sh [BUILD_DIR]   (default: a release build, see scripts/release-build.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/release-build.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" "${MORVANEL_BINDINGS_PACKAGES[@]}"

build="$(cd "${1:-$(release_build_dir)}" && pwd)"
library="$build/libmorvanel.so.1"
[ -f "$library" ] || { echo "bindings check: $library is missing" >&2; exit 1; }
version="$(sed -n -E 's/^#define MORVANEL_VERSION "(.*)"$/\1/p' include/morvanel.h)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cc -std=c11 -Wall -Wextra -Werror -Iinclude tests/bindings/reference_render.c "$library" -Wl,-rpath,"$build" \
    -o "$scratch/reference_render"

echo "== Python binding (mypy --strict, pytest)"
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m mypy --strict --cache-dir=/dev/null bindings/python/morvanel
MORVANEL_LIBRARY="$library" MORVANEL_REFERENCE_RENDER="$scratch/reference_render" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q bindings/python/tests

echo "== C# binding (Mono)"
# Once as a library without the Span overload, as older runtimes compile it, then with the tests.
mcs -warnaserror -target:library -out:"$scratch/Morvanel.dll" bindings/csharp/Morvanel.cs
mcs -warnaserror -d:MORVANEL_SPAN -out:"$scratch/EngineTests.exe" bindings/csharp/Morvanel.cs bindings/csharp/tests/EngineTests.cs
LD_LIBRARY_PATH="$build" mono "$scratch/EngineTests.exe" "$PWD" "$scratch/reference_render" "$scratch" "$version"

# The README's C# example, compiled and run as printed.
sed -n '/^## Use it from/,/^## Building/p' README.md | awk '/^```csharp$/ { inside = 1; next } /^```$/ { inside = 0 } inside' \
    >"$scratch/readme_block.cs"
[ -s "$scratch/readme_block.cs" ] || { echo "bindings check: the README has no C# example" >&2; exit 1; }
{ echo "static class ReadmeExample { static void Main() {"; cat "$scratch/readme_block.cs"; echo "} }"; } >"$scratch/ReadmeExample.cs"
mcs -warnaserror -out:"$scratch/ReadmeExample.exe" bindings/csharp/Morvanel.cs "$scratch/ReadmeExample.cs"
LD_LIBRARY_PATH="$build" mono "$scratch/ReadmeExample.exe"
echo "the README's C# example ran"
