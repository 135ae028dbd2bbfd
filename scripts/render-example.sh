#!/usr/bin/env bash
# Builds the morvanel tool (installing what the machine lacks) and renders an example script to a
# WAV file in the current directory. Usage: scripts/render-example.sh [example-name]
set -euo pipefail
here="$PWD"
root="$(cd "$(dirname "$0")/.." && pwd)"
example="${1:-melody}"
cd "$root"
source scripts/deps.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}"
cmake --preset release > /dev/null
cmake --build --preset release --target morvanel_tool
out="$here/$example.wav"
"$root/build/release/tools/morvanel/morvanel" render "examples/$example.mv" -o "$out" --quiet
echo "Wrote $out"
