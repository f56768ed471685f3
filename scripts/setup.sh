#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Ovrin needs.
# Quick when everything is present: apt-get runs only for what is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libboost-regex-dev libxml2-dev libxml2-utils libssl-dev openssl ca-certificates python3-dev uuid-dev libcrypt-dev
  clang libclang-rt-14-dev
  procmail dovecot-pop3d python3 curl fetchmail
  netcat-openbsd
  netbase
  qt6-base-dev xvfb xauth
  libcurl4-openssl-dev nlohmann-json3-dev
  systemd dpkg-dev passwd util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
