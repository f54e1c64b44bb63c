#!/usr/bin/env bash
# Renders the status page of a fresh server with two named players in headless Chromium, checks that
# it shows both names and "2 / 4", and keeps a screenshot (default docs/status-page.png, and as a phone
# shows it docs/status-page-phone.png); then admin mode with its live log, a muted player and the lists,
# from the admin controls' browser test (default docs/status-page-admin.png, and as a phone shows it,
# one row's actions open, docs/status-page-admin-phone.png); then the scoreboard and the live map with
# three players and a kill, from the scores' browser test (default docs/scores-page.png, and as a phone
# shows it docs/scores-page-phone.png).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
out="$(realpath -m "${1:-$here/docs/status-page.png}")"
admin_out="$(realpath -m "${2:-$here/docs/status-page-admin.png}")"
scores_out="$(realpath -m "${3:-$here/docs/scores-page.png}")"
"$here/scripts/ensure-deps.sh" --test
cmake -S "$here" -B "$build" -DQUAREL_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quarel_tests
mkdir -p "$(dirname "$out")"
# The browser test must have run and passed, not been skipped or missed.
log="$(QUAREL_STATUS_SCREENSHOT="$out" "$build/quarel_tests" --gtest_filter='EndToEndStatus.BrowserRendersThePlayers' | tee /dev/stderr)"
grep -qx '\[  PASSED  \] 1 test\.' <<<"$log" || { echo "status-screenshot: the browser test did not run and pass" >&2; exit 1; }
log="$(QUAREL_ADMIN_SCREENSHOT="$admin_out" "$build/quarel_tests" \
  --gtest_filter='EndToEndAdminControl.CtlAndThePageDriveTheServerAndABanHoldsOnBothSocketsAndAcrossARestart' | tee /dev/stderr)"
grep -qx '\[  PASSED  \] 1 test\.' <<<"$log" || { echo "status-screenshot: the admin browser test did not run and pass" >&2; exit 1; }
log="$(QUAREL_SCORES_SCREENSHOT="$scores_out" "$build/quarel_tests" \
  --gtest_filter='EndToEndScores.ThePageShowsTheScoreboardAndTheMap' | tee /dev/stderr)"
grep -qx '\[  PASSED  \] 1 test\.' <<<"$log" || { echo "status-screenshot: the scores browser test did not run and pass" >&2; exit 1; }
echo "screenshot: $out"
echo "screenshot: ${out%.png}-phone.png"
echo "screenshot: $admin_out"
echo "screenshot: ${admin_out%.png}-phone.png"
echo "screenshot: $scores_out"
echo "screenshot: ${scores_out%.png}-phone.png"
