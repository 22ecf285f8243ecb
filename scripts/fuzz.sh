#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs one of them.
#   scripts/fuzz.sh <target> [runs] [extra libFuzzer flags...]
# The seed corpus is copied into build-fuzz/corpus/<target> so that the
# tracked seeds are never changed by a run.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?target name}"; runs="${2:-1000000}"; shift $(( $# >= 2 ? 2 : 1 ))
bash "$top/scripts/setup.sh"
dir="$(QUILLON_FUZZ=1 bash "$top/scripts/build.sh" | tail -n 1)"
bin="$(find "$dir/fuzz" -type f -name "$target" -perm -u+x | head -n 1)"
[ -n "$bin" ] || { echo "no fuzz target $target" >&2; exit 1; }
seeds="$(find "$top/fuzz" -type d -path "*/corpus/$target" | head -n 1)"
work="$dir/corpus/$target"; mkdir -p "$work"
[ -n "$seeds" ] && cp -n "$seeds"/* "$work"/ 2>/dev/null || true
cd "$dir"
"$bin" -runs="$runs" -print_final_stats=1 "$@" "$work"
