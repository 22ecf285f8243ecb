#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
dir="$(bash "$top/scripts/build.sh" | tail -n 1)"
if [ -x "$dir/winapps/agent/QuillonAgent" ]; then
  exec "$dir/winapps/agent/QuillonAgent" "$@"
fi
exec "$dir/tools/posnode/posnode" "$@"
