#!/bin/sh
# Compares the server of this working tree with another revision on this machine: builds both (Release,
# in a scratch directory, never in the tree) and runs quarel-bench with the two servers alternately,
# printing each figure of this tree's server beside the other's, with their ratio.
#
#   bench/compare.sh REV [SCENARIO ...]
#
# REV: any revision git knows (a commit, a tag, main, HEAD~3). The default scenarios: closed loop at 4,
# 32 and 128 players, open 64 x 60 Hz for 10 s, idle for 10 s, and the system calls per answered STATE
# at 4 and 32 players (see docs/TESTING.md#benchmark). ROUNDS sets the rounds (default 3), SCRATCH the
# scratch directory (default ${TMPDIR:-/tmp}/quarel-compare), JOBS the build's parallel jobs (default 2);
# CMAKE_CXX_COMPILER_LAUNCHER=ccache, when set, speeds up the builds as usual.
set -eu
if [ $# -lt 1 ]; then
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
rev=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
sha=$(git -C "$root" rev-parse --verify --quiet --short "$rev^{commit}") || {
    echo "compare.sh: no revision $rev" >&2
    exit 2
}
scratch=${SCRATCH:-${TMPDIR:-/tmp}/quarel-compare}
jobs=${JOBS:-2}
mkdir -p "$scratch"

# The other revision's files, as committed (a worktree of the repository is not needed).
other=$scratch/src-$sha
if [ ! -f "$other/CMakeLists.txt" ]; then
    rm -rf "$other"
    mkdir -p "$other"
    git -C "$root" archive "$sha" | tar -x -C "$other"
fi

# build SOURCE DIRECTORY TARGET...: a Release build, its output in DIRECTORY.log, shown when it fails.
build() {
    src=$1
    dir=$2
    shift 2
    echo "compare.sh: building $* in $dir" >&2
    if ! { cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQUAREL_TESTS=OFF &&
        cmake --build "$dir" -j"$jobs" --target "$@"; } > "$dir.log" 2>&1; then
        tail -40 "$dir.log" >&2
        exit 1
    fi
}
build "$other" "$scratch/build-$sha" quarel-server
build "$root" "$scratch/build-this" quarel-server quarel-bench

[ $# -gt 0 ] || set -- closed:4,32,128 open:64:60:10 idle:10 syscalls:4,32
exec "$scratch/build-this/quarel-bench" --rounds "${ROUNDS:-3}" --against "$scratch/build-$sha/quarel-server" "$@"
