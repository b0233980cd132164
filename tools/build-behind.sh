# A preset built in the background at the lowest priority while the caller's
# steps go on (sourced, not run; tools/test.sh and .ci/run), so that those
# steps keep the processor whenever they want it:
#
#   build_behind PRESET
#       configures PRESET and starts its build in the background, the build's
#       output into build-PRESET/build.log; one such build at a time. If the
#       caller ends first, the build is stopped.
#   built PRESET
#       waits for that build and shows its output; when it failed, says so
#       and exits with its status.

# SPDX-License-Identifier: MIT
background=
trap '[ -z "$background" ] || kill -- "-$background" 2>/dev/null || true' EXIT

build_behind() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  set -m
  nice -n 19 cmake --build --preset "$preset" >"build-$preset/build.log" 2>&1 &
  background=$!
  set +m
}

built() {
  local preset=$1 status=0
  wait "$background" || status=$?
  background=
  echo "=== preset $preset ==="
  cat "build-$preset/build.log"
  if [ $status -ne 0 ]; then
    echo "the $preset build failed (status $status)" >&2
    exit $status
  fi
}
