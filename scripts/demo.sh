#!/usr/bin/env bash
# The main job: installs what is missing, builds postwing-send, starts a capture SMTP server
# on 127.0.0.1, sends an HTML message with a text and a binary attachment through
# postwing-send, and shows what the server received, each attachment decoded and checked
# against the file sent; then the same from C++, the small host of examples/ sending the text
# file. Exits non-zero if any step fails.
#
#   bash scripts/demo.sh            (build/ is reused when it exists; BUILD=dir for another)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/capture_server.sh

python=/usr/bin/python3  # Debian's, with python3-aiosmtpd
build=${BUILD:-build}

if [ -t 1 ]; then bold=$'\e[1m'; plain=$'\e[0m'; else bold=""; plain=""; fi
step() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }

step "Installing what is missing (scripts/setup.sh)"
bash scripts/setup.sh

step "Building postwing-send and the example host in $build/"
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target postwing-send example_send_with_attachment
send="$build/tools/postwing-send"

make_work_folder demo

step "Starting the capture SMTP server on 127.0.0.1"
start_capture_server "$work/inbox" "$work"
echo "Listening on 127.0.0.1:$port; messages land in $work/inbox"

step "Writing the message: an HTML body, a text file and a PNG picture"
cat >"$work/message.html" <<'HTML'
<html>
<head><meta charset="utf-8"><title>Quarterly notes</title></head>
<body>
<h1>Quarterly notes</h1>
<p>Hello Ann,</p>
<p>attached are <b>the notes</b> of our meeting and the <i>chart</i> we talked about.
Totals: 1&nbsp;250&nbsp;&euro; = 100&nbsp;% of the plan.</p>
<p>Best regards,<br>the postwing demo</p>
</body>
</html>
HTML
printf 'Meeting notes\n=============\n\nItem\tOwner\tDue\nBudget\tAnn\t2024-07-01\nCaf\xc3\xa9 order\tBob\tFriday\n.\nA line that begins with a dot, and one that is long enough to need more than seventy-six characters on a single line.\n' \
  >"$work/notes.txt"
"$python" - "$work/chart.png" <<'PY'
import struct, sys, zlib
w, h = 160, 100
rows = bytearray()
for y in range(h):
    rows.append(0)
    for x in range(w):
        bar = (x // 20) % 2 == 0 and y > h - (x * 7 % 90) - 5
        rows += bytes((40, 90, 200) if bar else (255 - y, 240, 200 + x // 4))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
ls -l "$work/message.html" "$work/notes.txt" "$work/chart.png" | sed 's/^/  /'

step "Sending through postwing-send -v (every status line as the library raises it)"
set -x
"$send" -v -s 127.0.0.1 -p "$port" \
  -f "Postwing Demo <demo@example.org>" -t "Ann Example <ann@example.org>" \
  -c "bob@example.org" -b "audit@example.org" \
  -S "Quarterly notes, with attachments" \
  --body-file "$work/message.html" -a "$work/notes.txt" -a "$work/chart.png"
{ set +x; } 2>/dev/null
echo "postwing-send exited with 0: the server accepted the message"

step "What the server received"
"$python" scripts/show_received.py "$work/inbox/0001.eml" \
  --expect-mail-from "demo@example.org" \
  --expect-rcpt "ann@example.org" --expect-rcpt "bob@example.org" \
  --expect-rcpt "audit@example.org" \
  --expect-header "Subject=Quarterly notes, with attachments" \
  --expect-no-header "Bcc" \
  --expect-body-type "text/html" --expect-body-contains-file "$work/message.html" \
  --expect-attachment-count 2 \
  --expect-attachment "notes.txt=$work/notes.txt" \
  --expect-attachment "chart.png=$work/chart.png"

step "The same from C++: examples/send_with_attachment.cpp (every event as it arrives)"
"$build/examples/example_send_with_attachment" 127.0.0.1 "$port" demo@example.org \
  ann@example.org "$work/notes.txt"
"$python" scripts/show_received.py "$work/inbox/0002.eml" --quiet \
  --expect-mail-from "demo@example.org" --expect-rcpt "ann@example.org" \
  --expect-header "Subject=A file from the postwing example" \
  --expect-attachment-count 1 --expect-attachment "notes.txt=$work/notes.txt"
echo "The example's message and its attachment arrived intact"

step "Demo complete: the messages and their attachments arrived intact"
