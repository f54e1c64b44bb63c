#!/usr/bin/env bash
# Builds the Debian package quarel-server_VERSION_ARCH.deb from the Release build (see
# scripts/release-build.sh) and prints its path. Install it with
#   sudo apt install ./build-release/quarel-server_*.deb
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
# dpkg-shlibdeps (dpkg-dev) finds the libraries the package depends on.
"$here/scripts/ensure-deps.sh" dpkg-dev >&2
build="$("$here/scripts/release-build.sh")"
rm -f "$build"/quarel-server_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/quarel-server_*.deb
