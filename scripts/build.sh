#!/usr/bin/env bash
# Configures and builds the project into a build folder at the repository root.
#   scripts/build.sh                 -> build/        (RelWithDebInfo)
#   QUILLON_SANITIZE=asan  scripts/build.sh -> build-asan/  (ASan+UBSan)
#   QUILLON_SANITIZE=tsan  scripts/build.sh -> build-tsan/  (ThreadSanitizer)
#   QUILLON_FUZZ=1 scripts/build.sh  -> build-fuzz/   (clang, libFuzzer targets)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
san="${QUILLON_SANITIZE:-}"
dir="$top/build"
args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ -n "$san" ]; then
  dir="$top/build-$san"
  args+=(-DQUILLON_SANITIZE="$san")
fi
if [ -n "${QUILLON_FUZZ:-}" ]; then
  dir="$top/build-fuzz"
  args+=(-DQUILLON_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
fi
[ -n "${QUILLON_BUILD_DIR:-}" ] && dir="$QUILLON_BUILD_DIR"
# ccache, when installed, makes rebuilds in fresh clones cheap; paths are
# taken relative to the checkout so clones share the cache.
if command -v ccache >/dev/null 2>&1; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$dir" "${args[@]}" >/dev/null
else
  cmake "$dir" >/dev/null
fi
if ! cmake --build "$dir" -j"$(nproc)" >"$dir/build.log" 2>&1; then
  grep -E 'error|Error' -A3 "$dir/build.log" | head -80 >&2
  echo "build failed: see $dir/build.log" >&2
  exit 1
fi
grep -E 'warning:' "$dir/build.log" >&2 || true
echo "$dir"
