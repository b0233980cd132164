#!/usr/bin/env bash
# Runs every benchmark in bench/ and writes docs/performance.md (tables) and
# docs/performance.json (the same numbers) from what they measured.
#
#   tools/bench.sh [--build-dir DIR] [--out DIR] [--quick]
#
# --build-dir  build tree to use (default: build, the default preset's; it is
#              configured with the preset when it does not exist yet)
# --out        where to write performance.md and performance.json (default: docs)
# --quick      a 256 KB image, fewer repetitions, 1 and 2 projectors: checks the script, not the
#              machine (writes to a temporary directory unless --out is given)
#
# Takes about ten minutes: the two whole downloads at 1000 µs per transfer
# need 80-100 s each, the updates of 1, 2, 4 and 8 projectors at once (each
# with its real pauses) about two minutes, the downloads with and without a
# recording (BM_LoadFlash_Recording) about a minute and a half; their figure
# is in the hand-written notes. Run it on an idle machine; the load
# average before and after is written with the numbers. The pictures
# (update-timeline.svg, scale.svg) are written beside performance.md.

# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
out_dir=
quick=0
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --out) out_dir=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$out_dir" ]; then
  if [ "$quick" = 1 ]; then out_dir=$work/out; else out_dir=docs; fi
fi
mkdir -p "$out_dir"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  if [ "$build_dir" = build ]; then
    cmake --preset default
  else
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
case $build_type in
  RelWithDebInfo|Release) ;;
  *) echo "bench.sh: warning: $build_dir is a '$build_type' build; measure a RelWithDebInfo one" >&2 ;;
esac
cmake --build "$build_dir" --target bench tz4817-emu tz4817-update
bin=$build_dir/bin

image_option=()
repetitions=5
scale_counts=1,2,4,8
if [ "$quick" = 1 ]; then
  image_option=(--image-bytes=0x40000)
  repetitions=2
  scale_counts=1,2
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== per layer (load average $load_before)"
"$bin/qrv_bench_layers" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/layers.json" --benchmark_out_format=json
echo "== whole downloads"
"$bin/qrv_bench_update" "${image_option[@]}" \
  --benchmark_out="$work/update.json" --benchmark_out_format=json
echo "== peak memory"
"$bin/qrv_bench_memory" >"$work/memory.json"
echo "== many projectors at once ($scale_counts)"
python3 bench/scale.py --bin "$bin" --counts "$scale_counts" --json "$work/scale.json"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain 2>/dev/null | grep -v '^??' || true)" ]; then commit="$commit (with local changes)"; fi
DATE=$(date) CORES=$(nproc) CPU=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1) \
KERNEL=$(uname -sr) LOAD_BEFORE=$load_before LOAD_AFTER=$load_after BUILD_TYPE=$build_type COMMIT=$commit \
python3 - "$work/conditions.json" <<'EOF'
import json, os, sys
keys = ["DATE", "CORES", "CPU", "KERNEL", "LOAD_BEFORE", "LOAD_AFTER", "BUILD_TYPE", "COMMIT"]
conditions = {key.lower(): os.environ[key] for key in keys}
conditions["load_before"] += " (1, 5, 15 min)"
conditions["load_after"] += " (1, 5, 15 min)"
with open(sys.argv[1], "w") as file:
    json.dump(conditions, file)
EOF

python3 bench/report.py --layers "$work/layers.json" --update "$work/update.json" \
  --memory "$work/memory.json" --conditions "$work/conditions.json" --scale "$work/scale.json" \
  --notes bench/performance_notes.md \
  --json "$out_dir/performance.json" --markdown "$out_dir/performance.md"
echo "bench.sh: wrote $out_dir/performance.md, $out_dir/performance.json, $out_dir/update-timeline.svg and $out_dir/scale.svg"
if [ "$quick" = 1 ] && [ "$out_dir" = "$work/out" ]; then cat "$out_dir/performance.md"; fi
