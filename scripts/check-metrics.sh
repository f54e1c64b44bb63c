#!/usr/bin/env bash
# Checks the /metrics text with Prometheus' own checker.
#   scripts/check-metrics.sh                       a fresh server with two players, as the test suite does
#   scripts/check-metrics.sh http://127.0.0.1:8080 a server already running with `http`
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh" --test curl
if [ $# -ge 1 ]; then
  curl -fsS --max-time 10 "${1%/}/metrics" | promtool check metrics
  echo "promtool: ${1%/}/metrics is well formed"
  exit 0
fi
cmake -S "$here" -B "$build" -DQUAREL_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quarel_tests
# The endpoint test hands its scrape to promtool; it must have run and passed, not been skipped or missed.
out="$("$build/quarel_tests" --gtest_filter='EndToEndStatus.EndpointsScrapeBoundsAndSlowClients' | tee /dev/stderr)"
grep -qx '\[  PASSED  \] 1 test\.' <<<"$out" || { echo "check-metrics: the scrape check did not run and pass" >&2; exit 1; }
