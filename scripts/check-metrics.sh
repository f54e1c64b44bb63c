#!/usr/bin/env bash
# Checks the /metrics text with Prometheus' own checker.
#   scripts/check-metrics.sh                       a fresh server with two players, as the test suite does
#   scripts/check-metrics.sh http://127.0.0.1:8080 a server already running with `http`
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh" curl
if [ $# -ge 1 ]; then
  curl -fsS --max-time 10 "${1%/}/metrics" | promtool check metrics
  echo "promtool: ${1%/}/metrics is well formed"
  exit 0
fi
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j2 --target quarel_tests
"$build/quarel_tests" --gtest_filter='EndToEndStatus.PrometheusAcceptsTheScrape'
