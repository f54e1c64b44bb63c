#!/usr/bin/env bash
# Installs, with apt-get, what this machine lacks of the packages the project needs.
#
#   scripts/ensure-deps.sh [--test] [PACKAGE...]
#
# Without --test: what building and running the four programs (quarel-server, quarel-ctl,
# quarel-query, quarel-lobby) needs, which is all the run command asks for. With --test: that, and
# what the test suite needs on top. Extra package names may be given as arguments.
set -euo pipefail
# The compiler and build tools, and the libraries the programs link: libcurl (the lobby announcement,
# the lobby service's status page reads, quarel-ctl, quarel-query --lobby), libsodium (the limiters'
# keyed hash), libmicrohttpd (status and admin over HTTP, the lobby service), nlohmann-json, libsystemd
# (the service manager's notifications and its file descriptor store), libsqlite3 (the archive of
# matches and the all-time ranking).
wanted=(cmake make g++ pkg-config libcurl4-openssl-dev libsodium-dev nlohmann-json3-dev libmicrohttpd-dev libsystemd-dev
        libsqlite3-dev)
# The tests: GoogleTest; binutils' nm, with which they check that the core library makes no system calls;
# systemd (systemd-analyze) for the service units; lintian and dpkg-dev (dpkg-shlibdeps) for the Debian
# package; podman and python3-yaml for the container image and the orchestrator manifests; prometheus
# brings promtool, which checks the /metrics text; chromium-headless-shell renders the status page;
# openssl makes the certificate of the HTTPS hook that python3 serves.
testing=(libgtest-dev binutils systemd lintian dpkg-dev podman python3-yaml prometheus chromium-headless-shell openssl)
if [ "${1:-}" = "--test" ]; then
  shift
  wanted+=("${testing[@]}")
fi
wanted+=("$@")
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
