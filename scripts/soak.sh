#!/usr/bin/env bash
# The long soak and the memory checks, by hand (CI runs a short soak in the test suites):
#   1. 2,000 sends on one SendMail (with Clear) and on fresh objects against an in-process
#      peer: descriptors, temporary files and resident memory (figures printed per run);
#   2. valgrind memcheck on a 50-send soak;
#   3. valgrind memcheck on postwing-send sending a message with an attachment to the
#      capture server on 127.0.0.1.
#   bash scripts/soak.sh            (BUILD=dir for another build dir; SENDS=n for step 1)
# Exits non-zero if a step fails. Needs valgrind (installed when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/capture_server.sh

python=/usr/bin/python3  # Debian's, with python3-aiosmtpd
build=${BUILD:-build-soak}
sends=${SENDS:-2000}

if ! command -v valgrind >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends valgrind
fi

# A plain optimised build with symbols: no sanitizer, so RSS and valgrind see the real heap.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTWING_SANITIZE=OFF \
  -DPOSTWING_BUILD_COMPOSER=OFF -DPOSTWING_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target postwing_faults_tests postwing-send
tests="$build/tests/postwing_faults_tests"
send="$build/tools/postwing-send"
memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect
  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 --track-fds=yes --suppressions=scripts/soak.supp)

echo "=== soak: $sends sends per case"
POSTWING_SOAK_SENDS=$sends "$tests" --gtest_filter='Objects/Soak.*'

echo "=== valgrind: 50-send soak"
POSTWING_SOAK_SENDS=50 "${memcheck[@]}" "$tests" --gtest_filter='Objects/Soak.*'

echo "=== valgrind: postwing-send, one message with an attachment"
make_work_folder soak
start_capture_server "$work/inbox" "$work"
head -c 300000 /dev/urandom >"$work/attachment.bin"
printf 'Soak body\r\nline two\r\n' >"$work/body.txt"
"${memcheck[@]}" "$send" -s 127.0.0.1 -p "$port" -f "soak@example.org" -t "to@example.org" \
  -S "valgrind run" --body-file "$work/body.txt" -a "$work/attachment.bin"
"$python" scripts/show_received.py "$work/inbox/0001.eml" \
  --expect-attachment "attachment.bin=$work/attachment.bin" >/dev/null
echo "soak: all steps passed"
