#!/usr/bin/env bash
# Builds the quarel-server container image, FROM scratch, so nothing is pulled: assembles a root tree
# (the four programs, stripped; exactly the shared libraries `ldd` lists for them plus the loader; an
# /etc/passwd line for the unprivileged user; the empty working directory /data) and hands it to
# `podman build`, with the OCI labels for what is known of the sources.
#
#   packaging/container/build.sh [--build-dir DIR] [--tag NAME] [--tree DIR] [--tree-only]
#
#   --build-dir DIR  the build to take the programs from (default: the Release build of
#                    scripts/release-build.sh, brought up to date)
#   --tag NAME       the image's name (default: localhost/quarel-server:VERSION)
#   --tree DIR       assemble the root tree in DIR (new or empty) and keep it; default: a temporary one
#   --tree-only      only assemble the tree, build no image
#
# The programs' debug information stays beside the build, in DIR/debug/NAME.debug, which the stripped
# programs name (gdb finds it there).
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build=""
tag=""
tree=""
tree_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --tag) tag="$2"; shift 2 ;;
    --tree) tree="$2"; shift 2 ;;
    --tree-only) tree_only=1; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--tag NAME] [--tree DIR] [--tree-only]" >&2; exit 2 ;;
  esac
done

# The server's user and group inside the image: no name on the host, no login.
uid=65532

[ -n "$build" ] || build="$("$here/scripts/release-build.sh")"
names=(quarel-server quarel-query quarel-ctl quarel-lobby)
for name in "${names[@]}"; do
  [ -x "$build/$name" ] || { echo "build.sh: $build/$name is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
if [ -z "$tree" ]; then
  tree="$work/rootfs"
elif [ -e "$tree" ] && [ -n "$(ls -A "$tree")" ]; then
  echo "build.sh: --tree $tree is not empty" >&2
  exit 2
fi
mkdir -p "$tree/usr/local/bin" "$tree/etc" "$tree/data"

mkdir -p "$build/debug"
programs=()
for name in "${names[@]}"; do
  objcopy --only-keep-debug "$build/$name" "$build/debug/$name.debug"
  strip --strip-all --remove-section=.comment -o "$tree/usr/local/bin/$name" "$build/$name"
  (cd "$build/debug" && objcopy --add-gnu-debuglink="$name.debug" "$tree/usr/local/bin/$name")
  chmod 0755 "$tree/usr/local/bin/$name"
  programs+=("$tree/usr/local/bin/$name")
done

# Every library ldd names (by the path the loader will look for), and the loader itself, copied as
# plain files: the tree has no links to follow into the host.
libs="$(ldd "${programs[@]}" | awk '
  $2 == "=>" && $3 ~ /^\// { print $3 }
  $1 ~ /^\// && $1 !~ /:$/ { print $1 }' | sort -u)"
if [ -z "$libs" ] || ldd "${programs[@]}" | grep -q "not found"; then
  echo "build.sh: ldd could not resolve the programs' libraries" >&2
  exit 1
fi
for lib in $libs; do
  mkdir -p "$tree$(dirname "$lib")"
  cp -L "$lib" "$tree$lib"
done

echo "quarel:x:$uid:$uid:quarel-server:/data:/nonexistent" > "$tree/etc/passwd"
chmod 0644 "$tree/etc/passwd"
chown "$uid:$uid" "$tree/data" 2>/dev/null || true
chmod 0750 "$tree/data"

if [ "$tree_only" -eq 1 ]; then
  echo "root tree in $tree"
  exit 0
fi

command -v podman >/dev/null || "$here/scripts/ensure-deps.sh" podman
version="$("$build/quarel-server" --version | awk '{ print $2 }')"
[ -n "$tag" ] || tag="localhost/quarel-server:$version"
# The OCI labels that can be known: the version, and from git the commit and, when the clone has a
# remote named origin, where the sources live. The sources carry no license file, so there is no
# org.opencontainers.image.licenses.
labels=(--label "org.opencontainers.image.title=quarel-server" --label "org.opencontainers.image.version=$version")
if revision="$(git -C "$here" rev-parse HEAD 2>/dev/null)"; then
  labels+=(--label "org.opencontainers.image.revision=$revision")
fi
if source="$(git -C "$here" remote get-url origin 2>/dev/null)"; then
  labels+=(--label "org.opencontainers.image.source=$source")
fi
context="$work/context"
mkdir -p "$context"
cp "$here/packaging/container/Containerfile" "$context/"
cp -a "$tree" "$context/rootfs"
# /data goes in by a COPY of its own that gives it to the server's user.
mv "$context/rootfs/data" "$context/data"
# The docker format keeps HEALTHCHECK, which the OCI format has no field for.
podman build --format docker --pull=never "${labels[@]}" -f "$context/Containerfile" -t "$tag" "$context"
echo "image $tag, $(podman image inspect --format '{{.Size}}' "$tag") bytes"
