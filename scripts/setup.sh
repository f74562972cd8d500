#!/usr/bin/env bash
# Installs what building and testing postwing needs on a Debian machine, if missing.
set -euo pipefail

# sharutils: uudecode, the peer the uuencode tests decode with; gcovr and cloc: the figures
# of scripts/coverage.sh and scripts/code_lines.sh.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev python3 python3-aiosmtpd openssl libssl-dev xvfb xauth sharutils gcovr cloc)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
