#!/usr/bin/env bash
# Runs all of Morvanel's benchmarks (each beside its tight-loop baseline, as ratios), then renders
# N voices of a naive 480 Hz square with Csound, ChucK and SuperCollider's server, and the melodies
# and long fades with ChucK, in the same run, and prints their voice-sample rates beside ours as
# Markdown tables.
# Usage: bench/peers/compare.sh [--quick] [--peers-only] [--no-install] [--keep] [--workloads LIST]
#   --quick       shorter renders and benchmark runs (noisier figures)
#   --peers-only  of our benchmarks, run only those the tables need
#   --no-install  do not install missing packages; a missing peer is shown as not installed
#   --keep        keep the scratch folder (renders are deleted once checked; logs and inputs stay)
#   --workloads   comma-separated, of square,melody100,melody2400,fadein,fadeout (default: all)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
here="$root/bench/peers"
quick=0
peers_only=0
install=1
keep=0
workloads=square,melody100,melody2400,fadein,fadeout
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=1 ;;
        --peers-only) peers_only=1 ;;
        --no-install) install=0 ;;
        --keep) keep=1 ;;
        --workloads) workloads="$2"; shift ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

if [ "$install" -eq 1 ]; then
    # shellcheck source=SCRIPTDIR/../../scripts/deps.sh
    source "$root/scripts/deps.sh"
    ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" csound chuck supercollider-server
fi

# The check that every peer's render must pass is tried first on files made to fail it.
python3 "$here/wavcheck.py" --self-test >&2

cd "$root"
if [ ! -f build/release/build.ninja ]; then
    cmake --preset release >&2
fi
cmake --build --preset release --target morvanel_bench >&2
bench="$root/build/release/bench/morvanel_bench"

scratch="$(mktemp -d /tmp/morvanel-peers.XXXXXX)"
if [ "$keep" -eq 1 ]; then
    echo "scratch folder: $scratch" >&2
else
    trap 'rm -rf "$scratch"' EXIT
fi

if [ "$quick" -eq 1 ]; then
    min_time=0.2
    peer_cpu=0.4
else
    min_time=1
    peer_cpu=2
fi

# The benchmark's console report (with the ratios) is printed as it runs; the table's figures are
# read from the JSON file. The library's parse logs are left out of the report.
filter='.*'
if [ "$peers_only" -eq 1 ]; then
    filter='(Square|Melody100|Melody2400|FadeInSquare|FadeOutSaw)/(64|1024)$'
fi
echo "running morvanel_bench ..." >&2
"$bench" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
    --benchmark_out="$scratch/morvanel.json" --benchmark_out_format=json | grep -v "Compilation successful"
echo

python3 "$here/peers.py" --ours "$scratch/morvanel.json" --scratch "$scratch" --seconds "$peer_cpu" \
    --workloads "$workloads"
