#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs them.
#   scripts/fuzz.sh <target> [runs] [extra libFuzzer flags...]
#       one target for a number of runs
#   scripts/fuzz.sh --all MINUTES [extra libFuzzer flags...]
#       every target in turn for MINUTES each, or until it has run 10 million
#       inputs (QUILLON_FUZZ_MAX_RUNS), whichever comes first; one line per
#       target: runs, exec/s, coverage, seconds, findings (a target stops at
#       its first finding; the input is kept in build-fuzz/artifacts/<target>/;
#       an input that runs longer than 25 s counts as a finding: a hang);
#       QUILLON_FUZZ_TARGETS="a b" limits the run to those targets;
#       QUILLON_FUZZ_MERGE=1 then adds to the tracked seeds what the run
#       corpus reaches beyond them (as --merge)
#   scripts/fuzz.sh --merge <target>
#       adds to the tracked seeds the inputs of the run corpus that reach
#       code the seeds do not (libFuzzer's -merge=1)
# The seed corpus is copied into build-fuzz/corpus/<target> so that the
# tracked seeds change only through --merge.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
mode=one
case "${1:-}" in
  --all) mode=all; minutes="${2:?minutes per target}"; shift 2 ;;
  --merge) mode=merge; target="${2:?target name}"; shift 2 ;;
  *) target="${1:?target name}"; runs="${2:-1000000}"; shift $(( $# >= 2 ? 2 : 1 )) ;;
esac
bash "$top/scripts/setup.sh"
dir="$(QUILLON_FUZZ=1 bash "$top/scripts/build.sh" | tail -n 1)"

binary() { find "$dir/fuzz" -type f -name "$1" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1; }
seedsOf() { find "$top/fuzz" -type d -path "*/corpus/$1" | head -n 1; }

# Copies the seeds into the run corpus of a target and prints its folder.
prepare() {
  local seeds work
  seeds="$(seedsOf "$1")"
  work="$dir/corpus/$1"
  mkdir -p "$work"
  if [ -n "$seeds" ]; then cp -n "$seeds"/* "$work"/ 2>/dev/null || true; fi
  echo "$work"
}

case "$mode" in
one)
  bin="$(binary "$target")"
  [ -n "$bin" ] || { echo "no fuzz target $target" >&2; exit 1; }
  work="$(prepare "$target")"
  cd "$dir"
  "$bin" -runs="$runs" -print_final_stats=1 "$@" "$work"
  ;;
merge)
  bin="$(binary "$target")"
  seeds="$(seedsOf "$target")"
  [ -n "$bin" ] && [ -n "$seeds" ] || { echo "no fuzz target or seeds for $target" >&2; exit 1; }
  before="$(find "$seeds" -type f | wc -l)"
  cd "$dir"
  "$bin" -merge=1 "$@" "$seeds" "$dir/corpus/$target" >"$dir/merge-$target.log" 2>&1
  echo "$target: $before -> $(find "$seeds" -type f | wc -l) seed files"
  ;;
all)
  maxRuns="${QUILLON_FUZZ_MAX_RUNS:-10000000}"
  printf '%-22s %12s %8s %8s %8s %8s\n' target runs exec/s cov seconds findings
  while read -r bin; do
    target="$(basename "$bin")"
    if [ -n "${QUILLON_FUZZ_TARGETS:-}" ] && [[ " $QUILLON_FUZZ_TARGETS " != *" $target "* ]]; then
      continue
    fi
    work="$(prepare "$target")"
    art="$dir/artifacts/$target"
    mkdir -p "$art"
    log="$dir/fuzz-$target.log"
    before="$(find "$art" -type f | wc -l)"
    t0=$SECONDS
    (cd "$dir" && "$bin" -max_total_time=$((minutes * 60)) -runs="$maxRuns" -timeout=25 \
       -print_final_stats=1 -artifact_prefix="$art/" "$@" "$work" >"$log" 2>&1) || true
    secs=$((SECONDS - t0))
    stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
    cov="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)"
    findings=$(( $(find "$art" -type f | wc -l) - before ))
    printf '%-22s %12s %8s %8s %8s %8s\n' "$target" "$(stat number_of_executed_units)" \
      "$(stat average_exec_per_sec)" "${cov:-?}" "$secs" "$findings"
    if [ -n "${QUILLON_FUZZ_MERGE:-}" ] && [ "$findings" = 0 ]; then
      seeds="$(seedsOf "$target")"
      [ -n "$seeds" ] && (cd "$dir" && "$bin" -merge=1 "$seeds" "$work" >"$dir/merge-$target.log" 2>&1) || true
    fi
  done < <(find "$dir/fuzz" -type f -perm -u+x -not -path '*/CMakeFiles/*' | sort)
  ;;
esac
