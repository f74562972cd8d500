#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB in the plain build folder) and checks them without
# installing anything into the system: the files each package lists and the dependencies it
# declares, then, unpacked with dpkg -x into a scratch root, postwing-send runs against the
# unpacked library, a host compiled with only pkg-config's flags sends to a capture server,
# postwing-sendmail takes a piped message, the man pages render without warnings and cover
# every option, the bash completion knows every option, and the desktop entry and AppStream
# metainfo validate.
#
#   bash scripts/packages.sh [OUT_DIR]   (the .deb files are left in OUT_DIR when given)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/capture_server.sh
. scripts/capture_server.sh

python=/usr/bin/python3  # Debian's, with python3-aiosmtpd
build=${BUILD:-build}
bash scripts/setup.sh

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(sed -n 's/^project(postwing VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The same configuration as scripts/test.sh, so its objects are reused; the library folder is
# named because a build folder configured before the multiarch default keeps "lib".
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DPOSTWING_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >/dev/null
fi
cmake --build "$build" --target postwing postwing-send postwing-composer man_pages composer_icon

make_work_folder packages

passed=0
failed=0
check() {  # check NAME COMMAND...: runs COMMAND, its output shown only when it fails
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

debs="$work/debs"
(cd "$build" && cpack -G DEB -B "$debs" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  exit 1
}
deb() { echo "$debs/$1_${version}_$(dpkg --print-architecture).deb"; }

# The files and links each package holds, directories left out.
lib=usr/lib/$multiarch
expected_library="$lib/libpostwing.so.0
$lib/libpostwing.so.0.$(cut -d. -f2- <<<"$version")"
expected_development="$(for h in component/include/postwing/*.hpp; do
  echo "usr/include/postwing/${h##*/}"
done)
$lib/cmake/postwing/postwingConfig.cmake
$lib/cmake/postwing/postwingConfigVersion.cmake
$lib/cmake/postwing/postwingTargets-relwithdebinfo.cmake
$lib/cmake/postwing/postwingTargets.cmake
$lib/libpostwing.so
$lib/pkgconfig/postwing.pc"
expected_send="usr/bin/postwing-send
usr/bin/postwing-sendmail
usr/share/bash-completion/completions/postwing-send
usr/share/man/man1/postwing-send.1.gz"
expected_composer="usr/bin/postwing-composer
usr/share/applications/org.postwing.composer.desktop
usr/share/icons/hicolor/48x48/apps/postwing-composer.png
usr/share/icons/hicolor/scalable/apps/postwing-composer.svg
usr/share/man/man1/postwing-composer.1.gz
usr/share/metainfo/org.postwing.composer.metainfo.xml"

lists_files() {  # lists_files PACKAGE EXPECTED
  diff <(sort <<<"$2") <(dpkg -c "$(deb "$1")" | grep -v '^d' |
    awk '{ print $6 }' | sed 's|^\./||' | sort)
}
depends_on() {  # depends_on PACKAGE PATTERN...
  local depends
  depends=$(dpkg-deb -f "$(deb "$1")" Depends)
  shift
  for pattern in "$@"; do
    grep -Eq "(^|, )$pattern" <<<"$depends" || { echo "Depends: $depends"; echo "lacks $pattern"; return 1; }
  done
}
check "libpostwing0 lists its files" lists_files libpostwing0 "$expected_library"
check "libpostwing-dev lists its files" lists_files libpostwing-dev "$expected_development"
check "postwing-send lists its files" lists_files postwing-send "$expected_send"
check "postwing-composer lists its files" lists_files postwing-composer "$expected_composer"
check "libpostwing0 depends on libc6, libssl3, libstdc++6" \
  depends_on libpostwing0 'libc6 ' 'libssl3 ' 'libstdc\+\+6 '
check "libpostwing-dev depends on its library and libssl-dev" \
  depends_on libpostwing-dev "libpostwing0 \(= $version\)" 'libssl-dev'
check "postwing-send depends on its library" depends_on postwing-send "libpostwing0 \(= $version\)"
check "postwing-composer depends on its library, Qt and Qt SVG" \
  depends_on postwing-composer "libpostwing0 \(= $version\)" 'libqt6widgets6 ' 'libqt6svg6 '
# apt resolves every dependency from Debian 12's archive (a dry run: nothing is installed).
check "apt can install the four packages" \
  apt-get install -s -q --no-install-recommends "$debs"/*.deb
check "libpostwing0 declares its shlibs" \
  grep -qx "libpostwing 0 libpostwing0 (= $version)" <(dpkg-deb -I "$(deb libpostwing0)" shlibs)

root="$work/root"
for p in libpostwing0 libpostwing-dev postwing-send postwing-composer; do
  dpkg -x "$(deb "$p")" "$root"
done
export LD_LIBRARY_PATH="$root/$lib"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# The unpacked programs must load the unpacked library, not one of the build folder.
loads_unpacked() { ldd "$1" | grep -F "libpostwing.so.0 => $root/$lib/libpostwing.so.0"; }
check "postwing-send loads the unpacked library" loads_unpacked "$root/usr/bin/postwing-send"
check "postwing-composer loads the unpacked library" loads_unpacked "$root/usr/bin/postwing-composer"
check "postwing-send --help runs" "$root/usr/bin/postwing-send" --help
check "postwing-composer --help runs" "$root/usr/bin/postwing-composer" --help

# A host built with pkg-config's flags alone, from the unpacked .pc, sends a message.
export PKG_CONFIG_PATH="$root/$lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
compiles_with_pkg_config() {
  pkg-config --cflags --libs postwing &&
    # shellcheck disable=SC2046
    g++ -o "$work/host" examples/send_with_attachment.cpp $(pkg-config --cflags --libs postwing)
}
check "a host compiles with pkg-config --cflags --libs postwing" compiles_with_pkg_config
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
host_sends() {
  printf 'attached\n' >"$work/note.txt" &&
    "$work/host" 127.0.0.1 "$port" ann@example.org bob@example.org "$work/note.txt" &&
    loads_unpacked "$work/host" &&
    grep -qi '^Subject: A file from the postwing example' "$work/inbox/0001.eml"
}
mkdir -p "$work/inbox"
start_capture_server "$work/inbox" "$work"
check "the host sends through the unpacked library" host_sends
# The sendmail interface: a piped message goes to its header's recipients, without its Bcc.
# (Chained with &&: a function run by check does not stop at a failing command.)
sendmail_sends() {
  [ "$(readlink "$root/usr/bin/postwing-sendmail")" = postwing-send ] &&
    printf '%s\n' 'From: Ann <ann@example.org>' 'To: bob@example.org' \
      'Bcc: eve@example.org' 'Subject: piped' '' 'Hi' |
    POSTWING_ACCOUNTS="" POSTWING_SYSTEM_ACCOUNTS="" \
      "$root/usr/bin/postwing-sendmail" -t -oi --server 127.0.0.1 --port "$port" &&
    grep -q '^Subject: piped' "$work/inbox/0002.eml" &&
    ! grep -qi '^Bcc' "$work/inbox/0002.eml" &&
    grep -q '"eve@example.org"' "$work/inbox/0002.json"
}
check "postwing-sendmail sends a piped message to its header's recipients" sendmail_sends

# Man pages: render without a warning, and name every option of --help.
renders() { [ -z "$(zcat "$1" | groff -man -ww -z 2>&1)" ] && man -l "$1" | grep '^NAME' >/dev/null; }
help_options() { "$@" | grep -oE -- '--[a-z][a-z-]*' | sort -u; }
page_options() { zcat "$1" | sed 's/\\f[BIRP]//g; s/\\//g' | grep -oE -- '--[a-z][a-z-]*' | sort -u; }
covers() {  # covers PAGE OPTIONS: the options missing from PAGE, if any
  local missing
  missing=$(comm -23 <(printf '%s\n' "$2") <(page_options "$1"))
  [ -z "$missing" ] || { echo "not in ${1##*/}: $missing"; return 1; }
}
man1="$root/usr/share/man/man1"
check "postwing-send(1) renders without warnings" renders "$man1/postwing-send.1.gz"
check "postwing-composer(1) renders without warnings" renders "$man1/postwing-composer.1.gz"
check "postwing-send(1) describes every option of --help" \
  covers "$man1/postwing-send.1.gz" "$(help_options "$root/usr/bin/postwing-send" --help)"
check "postwing-composer(1) describes every option of --help" \
  covers "$man1/postwing-composer.1.gz" \
  "$(help_options "$root/usr/bin/postwing-composer" --help | grep -vx -- '--help-all')"

completion="$root/usr/share/bash-completion/completions/postwing-send"
completes_every_option() {
  bash -O extglob -n "$completion"
  diff <(help_options "$root/usr/bin/postwing-send" --help) \
    <(grep -oE -- '--[a-z][a-z-]*' "$completion" | sort -u)
}
check "the bash completion offers every option" completes_every_option

desktop="$root/usr/share/applications/org.postwing.composer.desktop"
check "the desktop entry validates" desktop-file-validate "$desktop"
check "the desktop entry handles mailto: links" grep -qx 'MimeType=x-scheme-handler/mailto;' "$desktop"
check "the metainfo validates" \
  appstreamcli validate --no-net "$root/usr/share/metainfo/org.postwing.composer.metainfo.xml"
check "the 48 px icon is 48 by 48" \
  grep -q 'PNG image data, 48 x 48' <(file "$root/usr/share/icons/hicolor/48x48/apps/postwing-composer.png")

if [ $# -ge 1 ]; then
  mkdir -p "$1"
  cp "$debs"/*.deb "$1"/
  echo "packages in $1"
fi
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
