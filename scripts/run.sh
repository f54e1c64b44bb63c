#!/usr/bin/env bash
# Builds quarel-server, quarel-ctl, quarel-query and quarel-lobby (installing what building them needs,
# and nothing the tests alone need) and runs the server in the current directory, which is where it looks for its
# `config` file. Arguments are passed to the server.
#
# The build directory is the test command's (build/, or BUILD_DIR) with the same build type, the
# project's default unless the directory was configured otherwise: running the server and running the
# tests one after the other rebuild nothing. Without GoogleTest (a test dependency) the build leaves
# the test suite out; the test command installs it and turns the suite on.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh"
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target quarel-server quarel-ctl quarel-query quarel-lobby
exec "$build/quarel-server" "$@"
