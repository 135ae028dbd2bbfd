#!/usr/bin/env bash
# Instructions per voice-sample of each workload on both rendering paths, counted by callgrind
# (repeatable on a loaded or virtual machine, unlike time). Only the measured blocks count: the
# parse and the voice starts are outside the collected function.
# Usage: bench/instructions.sh [voices] [blocks]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
voices="${1:-1024}"
blocks="${2:-20}"
source "$root/scripts/deps.sh"
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" valgrind
cd "$root"
if [ ! -f build/release/build.ninja ]; then cmake --preset release >&2; fi
cmake --build --preset release --target morvanel_profile >&2
profile="$root/build/release/bench/morvanel_profile"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
printf '| workload | path | instructions per voice-sample (N = %s) |\n| --- | --- | --- |\n' "$voices"
for workload in square faded melody; do
    for path in voice-by-voice sample-by-sample; do
        flag=""
        if [ "$path" = sample-by-sample ]; then flag="--sample-path"; fi
        valgrind --tool=callgrind --toggle-collect='*RenderBlocks*' --callgrind-out-file="$scratch/out" \
            "$profile" "$workload" "$voices" "$blocks" $flag >/dev/null 2>"$scratch/log"
        collected="$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$scratch/log")"
        awk -v c="$collected" -v n="$voices" -v b="$blocks" -v w="$workload" -v p="$path" \
            'BEGIN { printf "| %s | %s | %.1f |\n", w, p, c / (n * b * 256) }'
    done
done
