#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
dir="$(bash "$top/scripts/build.sh" | tail -n 1)"
# ThreadSanitizer: the first report ends the program, so a race fails its
# test at once; the test programs carry their own list of library reports
# to ignore (tests/rtpagent/tsan_suppressions.cpp).
if [ "${QUILLON_SANITIZE:-}" = tsan ]; then
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
fi
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
