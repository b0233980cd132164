#!/usr/bin/env bash
# Hunts tests that fail by chance: runs the chosen tests N times over, with
# every core kept busy beside them (the load a shared CI machine has), and
# lists each failure with its output.
#
#   tools/flake-hunt.sh [--preset P] [--repeat N] [--load K] [REGEX]
#
# P: the ctest preset (default asan); N: the repeats (default 20); K: busy
# processes beside the tests (default: one per core). REGEX chooses tests by
# name; without it, the umockdev tests (label libusb) and the tests whose
# names say they are about time (time-outs, late replies, waits, latency,
# things said "as soon as" they are known). The tests labelled slow (the
# real 30-second attach limit) are never run. The preset must be built.
#
# Writes build-hunt/<preset>/: each repeat's ctest log and JUnit file, and
# failures.txt. Ends with the figures (tests run, failures, time); exit
# status 0 only when nothing failed.

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

preset=asan
repeat=20
load=$(nproc)
regex=
while [ $# -gt 0 ]; do
  case $1 in
  --preset) preset=$2; shift 2 ;;
  --repeat) repeat=$2; shift 2 ;;
  --load) load=$2; shift 2 ;;
  -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "flake-hunt: unknown option $1 (see --help)" >&2; exit 2 ;;
  *) regex=$1; shift ;;
  esac
done
case $repeat$load in *[!0-9]*) echo "flake-hunt: --repeat and --load take numbers" >&2; exit 2 ;; esac

timing='TimesOut|TimeOut|Timeout|Late|Latency|Wait|AsSoonAs|AtOnce|Quiet|Slow|Trickl|Hang|Unlink|Deadline'

# The preset's build folder, environment and parallel jobs: ctest runs on the
# folder itself, since a test preset's label filter would replace the
# selection's own.
mapfile -t settings < <(python3 - "$preset" <<'PRESET'
import json, sys
presets = json.load(open("CMakePresets.json"))
name = sys.argv[1]
tests = {p["name"]: p for p in presets.get("testPresets", [])}
configures = {p["name"]: p for p in presets["configurePresets"]}
if name not in tests:
    sys.exit(f"flake-hunt: no test preset {name}")
test = tests[name]
print(configures[test["configurePreset"]]["binaryDir"].replace("${sourceDir}", "."))
print(test.get("execution", {}).get("jobs", 1))
for key, value in test.get("environment", {}).items():
    print(f"{key}={value}")
PRESET
)
[ ${#settings[@]} -ge 2 ] || exit 2
build=${settings[0]}
jobs=${settings[1]}
environment=("${settings[@]:2}")
if [ ! -d "$build" ]; then
  echo "flake-hunt: $build is not built (cmake --preset $preset && cmake --build --preset $preset)" >&2
  exit 2
fi

out=$repo/build-hunt/$preset
rm -rf "$out"
mkdir -p "$out"

load_pids=
stop_load() {
  if [ -n "$load_pids" ]; then
    kill $load_pids 2>/dev/null || true
    wait $load_pids 2>/dev/null || true
  fi
  load_pids=
}
trap stop_load EXIT
for _ in $(seq 1 "$load"); do
  (while :; do :; done) &
  load_pids="$load_pids $!"
done

# run REPEAT PART CTEST-SELECTION...: one ctest run, its log and JUnit file kept.
run() {
  local i=$1 part=$2
  shift 2
  env "${environment[@]}" ctest --test-dir "$build" -j "$jobs" --output-on-failure "$@" --no-tests=ignore \
    --output-junit "$out/repeat$i-$part.xml" >"$out/repeat$i-$part.log" 2>&1 || true
}

started=$SECONDS
for i in $(seq 1 "$repeat"); do
  if [ -n "$regex" ]; then
    run "$i" 1 -R "$regex" -LE slow
  else
    run "$i" 1 -L libusb -LE slow
    run "$i" 2 -R "$timing" -LE 'slow|libusb'
  fi
  echo "flake-hunt: repeat $i of $repeat done ($((SECONDS - started)) s)"
done
stop_load

python3 - "$out" "$repeat" "$load" "$((SECONDS - started))" "$preset" <<'EOF'
import glob, os, sys
import xml.etree.ElementTree as ElementTree

out, repeat, load, seconds, preset = sys.argv[1:6]
runs, failures = 0, []
for path in sorted(glob.glob(os.path.join(out, "repeat*.xml")), key=lambda p: [int(x) if x.isdigit() else x for x in
                   os.path.basename(p).replace("-", ".").split(".")]):
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.get("status") == "notrun":
            continue
        runs += 1
        if case.find("failure") is not None or case.get("status") == "fail":
            output = case.findtext("system-out") or ""
            failures.append((os.path.basename(path).split("-")[0], case.get("name"), output))
with open(os.path.join(out, "failures.txt"), "w") as report:
    for where, name, output in failures:
        report.write(f"=== {where}: {name}\n{output}\n")
        print(f"FAILED in {where}: {name}\n{output[-3000:]}")
tests = runs // int(repeat) if int(repeat) else 0
print(f"flake-hunt: preset {preset}, {tests} tests x {repeat} repeats = {runs} runs with {load} busy processes "
      f"beside them: {len(failures)} failed, in {int(seconds) // 60} min {int(seconds) % 60:02d} s")
print(f"flake-hunt: logs in {out}")
sys.exit(1 if failures or runs == 0 else 0)
EOF
