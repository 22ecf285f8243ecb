#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
dir="$(bash "$top/scripts/build.sh" | tail -n 1)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
