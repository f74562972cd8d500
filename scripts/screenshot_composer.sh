#!/usr/bin/env bash
# Starts the composer under Xvfb with a sample message and two attachments and writes a
# PNG of its main window.
#   scripts/screenshot_composer.sh [OUT.png] [BUILD_DIR]
# Builds the composer in BUILD_DIR (default build/) if it is not there yet.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-composer.png}")
build=${2:-build}

for tool in Xvfb xvfb-run xauth; do
  command -v "$tool" >/dev/null || { bash scripts/setup.sh; break; }
done
# Readable text needs a font; Debian's minimal images may have none.
if ! fc-list 2>/dev/null | grep -qi dejavu; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends fonts-dejavu-core
fi
if [ ! -x "$build/composer/postwing-composer" ]; then
  [ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" --target postwing-composer
fi

# A private home: the screenshot never touches the user's settings or drafts.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config" "$home/data" "$home/tmp" "$home/files"
printf 'Quarterly report\n' > "$home/files/Q3 report.pdf"
printf 'region,revenue\nnorth,120\nsouth,98\n' > "$home/files/figures.csv"

XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" TMPDIR="$home/tmp" \
  QT_QPA_PLATFORM=xcb timeout 60 xvfb-run -a -s "-screen 0 1280x900x24 -dpi 96" \
  "$build/composer/postwing-composer" --demo \
  --attach "$home/files/Q3 report.pdf" --attach "$home/files/figures.csv" \
  --screenshot "$out"
echo "screenshot: $out"
