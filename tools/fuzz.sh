#!/usr/bin/env bash
# Builds the fuzz preset (clang-16, libFuzzer, AddressSanitizer + UBSan) and
# runs every fuzz target for SECONDS seconds (default 60), two at a time.
# Each target starts from its seeds (fuzz/corpus/<target>/), every input that
# ever broke it (fuzz/regressions/<target>/) and what earlier runs found
# (build-fuzz/corpus/<target>/, where new inputs go). Prints per target the
# executions per second and the coverage reached (libFuzzer's cov: and ft:).
# A crash, a hang or a leak ends that target with the reproducer's path and
# makes the script exit 1.

# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
'' | *[!0-9]*)
  echo "usage: $0 [SECONDS]" >&2
  exit 2
  ;;
esac
targets=(usbip_codec usbip_client usbip_server libusb_descriptors command_replies recording_reader)
parallel=2

bash tools/setup-deps.sh fuzz
echo "=== preset fuzz ==="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/%/_fuzzer}"

build=build-fuzz
mkdir -p "$build/fuzz-logs"
# Symbolized stacks in the reports, when an llvm-symbolizer is there.
for symbolizer in llvm-symbolizer-16 llvm-symbolizer; do
  if command -v "$symbolizer" >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=$(command -v "$symbolizer")
    break
  fi
done
export UBSAN_OPTIONS=print_stacktrace=1

run_target() {
  local target=$1
  local corpus=$build/fuzz-corpus/$target crashes=$build/fuzz-crashes/$target/
  mkdir -p "$corpus" "$crashes"
  # -close_fd_mask=3: the libraries' own lines on standard output, and their
  # failure lines on standard error (one for every reply the input breaks),
  # are noise here; libFuzzer and the sanitizers write to a copy of standard
  # error of their own.
  "$build/bin/${target}_fuzzer" "$corpus" "fuzz/corpus/$target" "fuzz/regressions/$target" \
    -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$crashes" >"$build/fuzz-logs/$target.log" 2>&1
}

report() {
  local target=$1 status=$2 log=$build/fuzz-logs/$1.log
  local line execs
  line=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -n 1 || true)
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  printf '%-20s %8s exec/s  cov: %-6s ft: %-6s' "$target" "${execs:-?}" \
    "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")" "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")"
  if [ "$status" -eq 0 ]; then
    echo
    return 0
  fi
  local reproducer
  reproducer=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  echo "  FAILED (exit $status)"
  grep -E 'ERROR: |check failed|runtime error' "$log" | head -n 5 | sed 's/^/    /'
  echo "    reproducer: ${reproducer:-none written (see $log)}"
  echo "    replay it:  $build/bin/${target}_fuzzer ${reproducer:-INPUT}"
  return 1
}

echo "=== fuzzing ${#targets[@]} targets for $seconds s each, $parallel at a time ==="
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  (
    status=0
    run_target "$target" || status=$?
    echo "$status" >"$build/fuzz-logs/$target.status"
  ) &
done
wait

echo "=== fuzz results (logs in $build/fuzz-logs/) ==="
failed=0
for target in "${targets[@]}"; do
  report "$target" "$(cat "$build/fuzz-logs/$target.status")" || failed=1
done
exit $failed
