#!/usr/bin/env bash
# Runs the game-sound benchmarks (each workload on the engine's default path and on the sample
# path at N = 64 and 1024, every timed pass compared with the hand-written loop bit for bit and
# followed by a timed pass of that loop) and the heap-per-voice figures, then prints the Markdown
# tables that docs/performance.md shows: ours / loop per workload, the rates behind them, and
# bytes per voice. About two minutes on 2 cores.
# Usage: bench/sound_ratios.sh [--min-time SECONDS] [--filter REGEX] [--json FILE]
#   --min-time  Google Benchmark's --benchmark_min_time for each benchmark (default 0.3)
#   --filter    only the workloads whose benchmark names match (default: all game sounds)
#   --json      also keep the benchmark's JSON output in FILE
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
min_time=0.3
filter=""
json=""
while [ $# -gt 0 ]; do
    case "$1" in
        --min-time) min_time="$2"; shift ;;
        --filter) filter="$2"; shift ;;
        --json) json="$2"; shift ;;
        -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
source "$root/scripts/deps.sh"
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}"
cd "$root"
if [ ! -f build/release/build.ninja ]; then cmake --preset release >&2; fi
cmake --build --preset release --target morvanel_bench morvanel_profile >&2
bench="$root/build/release/bench/morvanel_bench"
names="$("$root/build/release/bench/morvanel_profile" list | paste -sd '|')"
if [ -z "$filter" ]; then filter="($names)/|BytesPer"; fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
if [ -z "$json" ]; then json="$scratch/bench.json"; fi

echo "running morvanel_bench (min time $min_time s per benchmark) ..." >&2
status=0
"$bench" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
    --benchmark_out="$json" --benchmark_out_format=json >"$scratch/report" 2>&1 || status=$?
# The benchmark's report ends with the ratio table; the library's parse logs are left out.
sed -n '/^Game sounds/,$p' "$scratch/report" | grep -v "Compilation successful"

python3 - "$json" <<'EOF'
import json
import re
import sys

with open(sys.argv[1]) as f:
    runs = [r for r in json.load(f)["benchmarks"] if r.get("run_type", "iteration") == "iteration"]
rates = {r["name"]: r["items_per_second"] / 1e6 for r in runs if "items_per_second" in r}
# Each engine benchmark times its loop in alternation with it and reports the loop's rate.
loops = {r["name"]: r["loop_per_second"] / 1e6 for r in runs if "loop_per_second" in r}
bytes_per_voice = {r["name"]: r["bytes_per_voice"] for r in runs if "bytes_per_voice" in r}
workloads = []
for name in rates:
    m = re.match(r"BM_Engine_(\w+)/(\d+)$", name)
    if m and m.group(1) not in workloads:
        workloads.append(m.group(1))
if workloads:
    print()
    print("Million voice-samples per CPU-second (ours, default path / sample path / loop):")
    print()
    print("| workload | N = 64 | N = 1024 |")
    print("| --- | --- | --- |")
    for w in workloads:
        cells = []
        for n in (64, 1024):
            parts = [rates.get("BM_Engine_%s/%d" % (w, n)), rates.get("BM_EngineSamplePath_%s/%d" % (w, n)),
                     loops.get("BM_Engine_%s/%d" % (w, n))]
            cells.append(" / ".join("%.0f" % p if p is not None else "-" for p in parts))
        print("| %s | %s |" % (w, " | ".join(cells)))
if bytes_per_voice:
    print()
    print("| heap per sounding voice | ours | loop |")
    print("| --- | --- | --- |")
    for what, name in (("steady square (`sq`)", "BytesPerVoice"), ("melody voice inside a note", "BytesPerMelodyVoice")):
        ours = bytes_per_voice.get("BM_Engine_%s/iterations:1" % name)
        loop = bytes_per_voice.get("BM_TightLoop_%s/iterations:1" % name)
        if ours is not None:
            print("| %s | %.0f bytes | %.0f bytes |" % (what, ours, loop or 0))
EOF
if [ "$status" -ne 0 ]; then
    grep -E "^FAILED|ERROR OCCURRED" "$scratch/report" >&2 || true
    exit "$status"
fi
