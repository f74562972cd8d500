#!/usr/bin/env bash
# Installs what building and testing postwing needs on a Debian machine, if missing: scdoc
# and rsvg-convert build the man pages and the 48 px icon; dpkg-dev (dpkg-shlibdeps), file,
# groff, man-db, desktop-file-utils and appstream make and check the packages.
set -euo pipefail

# sharutils: uudecode, the peer the uuencode tests decode with; gcovr and cloc: the figures
# of scripts/coverage.sh and scripts/code_lines.sh; libhunspell-dev and hunspell-en-us: the
# composer's spell checking and its tests.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-svg-dev libhunspell-dev hunspell-en-us
  python3 python3-aiosmtpd openssl libssl-dev xvfb xauth postfix maildrop
  sharutils gcovr cloc
  scdoc librsvg2-bin
  dpkg-dev file groff-base man-db desktop-file-utils appstream)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  # The real-server tests run private Postfix instances of their own: the system's stays
  # unconfigured, so the install neither writes main.cf nor starts a mail server.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
