#!/usr/bin/env bash
# Instructions per voice-sample of each workload on both rendering paths, counted by callgrind
# (repeatable on a loaded or virtual machine, unlike time). Only the measured blocks count: the
# parse and the voice starts are outside the collected function. Then the same for every
# game-sound workload (each pass also compared with its hand-written loop, bit for bit) and for
# its hand-written loop, and the instructions of one call's start and end: notes of one sample
# each against notes of 2400, per note.
# Usage: bench/instructions.sh [options] [voices] [blocks]
#   voices, blocks    for the square, faded and melody workloads (default 1024 voices, 20 blocks)
#   --sound-voices N  voices of the game-sound workloads (default 64)
#   --voice-samples V voice-samples measured per game-sound workload (default 524288)
#   --sounds-only     only the game-sound workloads and the call cost
#   --no-sounds       only the square, faded and melody workloads
#   --only NAME       only the named game-sound workload (repeatable; see morvanel_profile list)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sound_voices=64
voice_samples=524288
classic=1
sounds=1
only=()
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        --sound-voices) sound_voices="$2"; shift ;;
        --voice-samples) voice_samples="$2"; shift ;;
        --sounds-only) classic=0 ;;
        --no-sounds) sounds=0 ;;
        --only) only+=("$2"); shift ;;
        -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option: $1" >&2; exit 2 ;;
        *) positional+=("$1") ;;
    esac
    shift
done
voices="${positional[0]:-1024}"
blocks="${positional[1]:-20}"
source "$root/scripts/deps.sh"
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" valgrind
cd "$root"
if [ ! -f build/release/build.ninja ]; then cmake --preset release >&2; fi
cmake --build --preset release --target morvanel_profile >&2
profile="$root/build/release/bench/morvanel_profile"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# Instructions collected in the function named by $1 for the rest of the command line. The name
# must be the profile's own: collection toggles at every function whose name matches, so a
# pattern that also matched an engine function would switch collection off inside it.
collect() {
    local function="$1"
    shift
    if ! valgrind --tool=callgrind --toggle-collect="$function(*" --callgrind-out-file="$scratch/out" \
        "$@" >"$scratch/stdout" 2>"$scratch/log"; then
        echo "failed: $*" >&2
        grep -v '^==' "$scratch/log" >&2 || true
        exit 1
    fi
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$scratch/log"
}

if [ "$classic" -eq 1 ]; then
    printf '| workload | path | instructions per voice-sample (N = %s) |\n| --- | --- | --- |\n' "$voices"
    for workload in square faded melody; do
        for path in voice-by-voice sample-by-sample; do
            flag=""
            if [ "$path" = sample-by-sample ]; then flag="--sample-path"; fi
            collected="$(collect RenderBlocks "$profile" "$workload" "$voices" "$blocks" $flag)"
            awk -v c="$collected" -v n="$voices" -v b="$blocks" -v w="$workload" -v p="$path" \
                'BEGIN { printf "| %s | %s | %.1f |\n", w, p, c / (n * b * 256) }'
        done
    done
    echo
fi

# The voice-samples that sounded in the measured stretch, from the profile's report.
sounding() { sed -n 's/.*, \([0-9]*\) voice-samples sounding.*/\1/p' "$scratch/stdout"; }

if [ "$sounds" -eq 1 ]; then
    if [ "${#only[@]}" -eq 0 ]; then mapfile -t only < <("$profile" list); fi
    printf '| game-sound workload (N = %s) | default path | sample path | hand-written loop | loop / default |\n' \
        "$sound_voices"
    printf '| --- | --- | --- | --- | --- |\n'
    declare -A per_sample
    for workload in "${only[@]}"; do
        row="| $workload |"
        for flag in "" --sample-path; do
            collected="$(collect ProfiledSoundStretch "$profile" sound "$workload" "$sound_voices" $flag \
                --voice-samples "$voice_samples")"
            value="$(awk -v c="$collected" -v s="$(sounding)" 'BEGIN { printf "%.1f", c / s }')"
            per_sample["$workload$flag"]="$value"
            row="$row $value |"
        done
        collected="$(collect ProfiledLoopStretch "$profile" sound "$workload" "$sound_voices" --loop \
            --voice-samples "$voice_samples")"
        loop="$(awk -v c="$collected" -v s="$(sounding)" 'BEGIN { printf "%.1f", c / s }')"
        row="$row $loop | $(awk -v l="$loop" -v d="${per_sample[$workload]}" 'BEGIN { printf "%.3f", l / d }') |"
        echo "$row"
    done
    # Every sample of CallNotes1 starts and ends one call; CallNotes2400 does so once in 2400.
    if [ -n "${per_sample[CallNotes1]:-}" ] && [ -n "${per_sample[CallNotes2400]:-}" ]; then
        echo
        for flag in "" --sample-path; do
            awk -v short="${per_sample[CallNotes1$flag]}" -v long="${per_sample[CallNotes2400$flag]}" \
                -v path="${flag:+sample path}" 'BEGIN {
                    printf "A call'"'"'s start and end (%s): %.0f instructions per call\n",
                        path == "" ? "default path" : path, (short - long) / (1 - 1 / 2400) }'
        done
    fi
fi
