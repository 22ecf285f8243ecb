#!/usr/bin/env bash
# Renders every console window to PNG files under Xvfb so their look can be
# checked by eye.
#   tools/screenshots/render_windows.sh [output folder] [build folder]
# Defaults: screenshots/ in the current folder, and build/ of the repository
# (the program is built there if it is missing).
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$PWD/screenshots}"
build="${2:-$top/build}"
prog="$build/tools/screenshots/render_windows"
if [ ! -x "$prog" ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" --target render_windows -j"$(nproc)" >/dev/null
fi
mkdir -p "$out"
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x1024x24" "$prog" "$out"
