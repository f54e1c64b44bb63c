#!/usr/bin/env bash
# Builds the fuzz targets with clang (sanitizers and coverage on) and runs one of them for a given time.
#   fuzz/run.sh TARGET SECONDS [extra libFuzzer flags...]     TARGET: server | config
# The checked-in seeds (fuzz/corpus/TARGET) start a working corpus in the build directory, which grows
# from run to run; crashes land in fuzz-out/ as crash-* files. Exit status is non-zero on a finding.
# FUZZ_BUILD_DIR overrides the build directory (default: build-fuzz at the top of the tree).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 2 ]; then
  echo "usage: fuzz/run.sh server|config SECONDS [libFuzzer flags...]" >&2
  exit 2
fi
target="$1"
seconds="$2"
shift 2
case "$target" in
  server|config) ;;
  *) echo "unknown fuzz target: $target (server or config)" >&2; exit 2 ;;
esac
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
"$here/scripts/ensure-deps.sh" clang-14 libclang-rt-14-dev
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUAREL_FUZZ=ON -DQUAREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target "${target}_fuzz" -j"${FUZZ_JOBS:-2}" >/dev/null
corpus="$build/corpus/$target"
artifacts="$here/fuzz-out/$target/"
mkdir -p "$corpus" "$artifacts"
# Leaks in a fuzz target are findings too; a slow input (over 10 s) or 2 GB of memory is a hang.
"$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts" "$@" "$corpus" "$here/fuzz/corpus/$target"
