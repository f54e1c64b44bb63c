#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the test suite.
#
#   scripts/test.sh           the full run, exactly what CI runs: a build in which compiler warnings are
#                             errors and the whole suite; then the suite again under AddressSanitizer
#                             and UndefinedBehaviorSanitizer; then each fuzz target for a minute
#   scripts/test.sh --quick   for the edit-compile-test cycle: build and ctest only, in the same build
#                             directory (its settings, -Werror included once a full run set it, stay)
#
# BUILD_DIR, SANITIZE_BUILD_DIR, FUZZ_BUILD_DIR and FUZZ_SECONDS override the defaults; JOBS sets the
# parallel build and test jobs (default: the number of processors).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
jobs="${JOBS:-$(nproc)}"
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

"$here/scripts/ensure-deps.sh" --test

if [ "$quick" -eq 1 ]; then
  cmake -S "$here" -B "$build" -DQUAREL_TESTS=ON >/dev/null
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
  exit 0
fi

cmake -S "$here" -B "$build" -DQUAREL_TESTS=ON -DQUAREL_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer, in a build directory
# of its own.
sanitize="${SANITIZE_BUILD_DIR:-$build-sanitize}"
cmake -S "$here" -B "$sanitize" -DQUAREL_TESTS=ON -DQUAREL_SANITIZE=ON >/dev/null
cmake --build "$sanitize" -j"$jobs"
ctest --test-dir "$sanitize" --output-on-failure -j"$jobs"

# Each fuzz target for about a minute (clang, libFuzzer); the log is shown only when something is found.
for target in server config; do
  log="$(mktemp)"
  if FUZZ_BUILD_DIR="${FUZZ_BUILD_DIR:-$build-fuzz}" "$here/fuzz/run.sh" "$target" "${FUZZ_SECONDS:-60}" >"$log" 2>&1; then
    echo "fuzz $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
    rm -f "$log"
  else
    tail -n 60 "$log"
    echo "fuzz $target: FAILED (full log: $log)"
    exit 1
  fi
done
