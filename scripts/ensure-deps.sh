#!/usr/bin/env bash
# Installs, with apt-get, whatever the build needs and this machine lacks. Extra package names may be
# given as arguments.
set -euo pipefail
# binutils: nm, with which the tests check that the core library makes no system calls. systemd
# (systemd-analyze), podman and python3-yaml are for the tests of the service units, the container
# image and the orchestrator manifests. prometheus brings promtool, which checks the /metrics text;
# chromium-headless-shell renders the status page in the browser test. libsystemd-dev: the service
# manager's notifications and its file descriptor store.
wanted=(cmake make g++ binutils libgtest-dev libcurl4-openssl-dev libsodium-dev nlohmann-json3-dev pkg-config systemd podman python3-yaml
        libmicrohttpd-dev prometheus chromium-headless-shell libsystemd-dev "$@")
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
