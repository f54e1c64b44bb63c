#!/usr/bin/env bash
# Builds the four programs as they ship (in the Debian package and the container image): a Release
# build with the usual Debian hardening (fortified functions, stack protector, read-only relocations
# bound at start), without the test suite. The programs keep their debug information here; the package
# and the image take them stripped. Prints the build directory.
#
#   scripts/release-build.sh     RELEASE_BUILD_DIR overrides the directory (default: build-release)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${RELEASE_BUILD_DIR:-$here/build-release}"
"$here/scripts/ensure-deps.sh" >&2
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUAREL_TESTS=OFF "${launcher[@]}" \
      -DCMAKE_CXX_FLAGS="-g -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
      -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >&2
cmake --build "$build" -j"$(nproc)" --target quarel-server quarel-ctl quarel-query quarel-lobby >&2
echo "$build"
