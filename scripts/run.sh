#!/usr/bin/env bash
# Builds quarel-server and quarel-query (installing what is missing) and runs the server in the current
# directory, which is where it looks for its `config` file. Arguments are passed to the server.
#
# The build directory is the test command's (build/, or BUILD_DIR) with the same build type, the
# project's default unless the directory was configured otherwise: running the server and running the
# tests one after the other rebuild nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh"
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target quarel-server quarel-query
exec "$build/quarel-server" "$@"
