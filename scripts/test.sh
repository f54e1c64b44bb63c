#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the whole test suite.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh"
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer, in a build directory
# of its own.
sanitize="${SANITIZE_BUILD_DIR:-$build-sanitize}"
cmake -S "$here" -B "$sanitize" -DQUAREL_SANITIZE=ON >/dev/null
cmake --build "$sanitize" -j"$(nproc)"
ctest --test-dir "$sanitize" --output-on-failure -j"$(nproc)"

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
