#!/usr/bin/env bash
# Builds quarel-server (installing what is missing) and runs it in the current directory, which is
# where it looks for its `config` file. Arguments are passed to the server.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/ensure-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target quarel-server
exec "$build/quarel-server" "$@"
