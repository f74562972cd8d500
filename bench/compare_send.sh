#!/usr/bin/env bash
# Whole-process comparison of sending mail over loopback, clients alternating in one run:
#
#  1. One message with a random binary attachment (100 MiB) sent by postwing-send, by Python's
#     smtplib with EmailMessage.add_attachment (Debian's python3), and by curl -F (curl builds
#     the MIME itself, Base64 like the others); each to postfix's smtp-sink and to send_sink,
#     a sink of ours that reads and discards (smtp-sink tops out below the fast clients).
#  2. Small messages, one connection each, from a loop in one process: send_small_messages
#     (a C++ host of the library) against a Python smtplib loop, to smtp-sink.
#  A curl -T upload of the same attachment as a ready-made message shows the sink's ceiling.
#
# Prints medians (wall time, peak resident memory from /usr/bin/time) and the ratios.
# The client runs on CPU 0 and the server on CPU 1 (taskset) when the machine has two CPUs.
#
#   bash bench/compare_send.sh                  (build/ is reused or made)
#   RUNS=7 SIZE_MIB=100 SMALL=500 BUILD=build PIN=0 bash bench/compare_send.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
small_runs=${SMALL_RUNS:-5}
size_mib=${SIZE_MIB:-100}
small=${SMALL:-500}
build=${BUILD:-build}
python=/usr/bin/python3
smtp_sink=/usr/sbin/smtp-sink

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ! -x "$smtp_sink" ]; then
  echo "compare_send: installing postfix for smtp-sink (no mail system is configured)"
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends postfix
fi
for tool in curl /usr/bin/time taskset "$python"; do
  command -v "$tool" >/dev/null || { echo "compare_send: $tool is missing" >&2; exit 1; }
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target postwing-send send_sink send_small_messages >/dev/null
send="$build/tools/postwing-send"
sink="$build/bench/send_sink"
small_host="$build/bench/send_small_messages"

. bench/send_common.sh

start_send_sink() {
  "${server_cpu[@]}" "$sink" --lifetime 1800 >"$work/sink.out" &
  pids+=($!)
  for _ in $(seq 200); do
    sink_port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/sink.out")
    [ -n "$sink_port" ] && return 0
    sleep 0.05
  done
  echo "send_sink did not start" >&2
  exit 1
}

# measure LABEL COMMAND...: runs the command on the client CPU under /usr/bin/time and appends
# "LABEL seconds peak_kib" to the results.
measure() {
  local label=$1
  shift
  if ! /usr/bin/time -f "%e %M" -o "$work/time" "${client_cpu[@]}" "$@" \
    >"$work/out" 2>"$work/err"; then
    echo "compare_send: '$label' failed:" >&2
    cat "$work/out" "$work/err" >&2
    exit 1
  fi
  echo "$label $(tail -n 1 "$work/time")" >>"$work/results"
  printf '  %-34s %8.2f s %8d KiB\n' "$label" $(tail -n 1 "$work/time")
}

echo "== postwing send comparison"
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "placement: $placement"
echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews the figures)"
echo "peers: $("$python" --version), $(curl --version | head -n 1 | cut -d' ' -f1-2), postfix smtp-sink"

head -c $((size_mib << 20)) /dev/urandom >"$work/blob.bin"
printf 'Hello,\n\nthe file is attached.\n' >"$work/body.txt"
# The same attachment as a ready-made message: what the sink takes when nothing is built.
"$python" - "$work/blob.bin" "$work/ready.eml" <<'PY'
import base64, sys
data = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "wb") as f:
    f.write(b"From: bench@example.org\r\nTo: sink@example.org\r\nSubject: ready-made\r\n"
            b"MIME-Version: 1.0\r\nContent-Type: application/octet-stream\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n")
    f.write(base64.encodebytes(data).replace(b"\n", b"\r\n"))
PY
start_send_sink
start_smtp_sink
: >"$work/results"

# big_command CLIENT PORT: sets cmd to the command that sends the large message.
big_command() {
  case $1 in
    postwing)
      cmd=("$send" -s 127.0.0.1 -p "$2" --timeout 60 -f "Bench <bench@example.org>"
        -t sink@example.org -S "A large attachment" --body-file "$work/body.txt"
        -a "$work/blob.bin") ;;
    python)
      cmd=("$python" bench/send_smtplib_attachment.py 127.0.0.1 "$2" "$work/blob.bin") ;;
    upload)
      cmd=(curl -sS --max-time 600 "smtp://127.0.0.1:$2" --mail-from bench@example.org
        --mail-rcpt sink@example.org -T "$work/ready.eml") ;;
    curl)
      cmd=(curl -sS --max-time 600 "smtp://127.0.0.1:$2" --mail-from bench@example.org
        --mail-rcpt sink@example.org -H "Subject: A large attachment"
        -F "=Hello, the file is attached.;type=text/plain"
        -F "file=@$work/blob.bin;type=application/octet-stream;encoder=base64") ;;
  esac
}

echo
echo "-- one message with a ${size_mib} MiB attachment, $runs rounds, clients alternating"
clients=(postwing python curl)
for ((r = 0; r < runs; r++)); do
  for server in send_sink smtp-sink; do
    port=$sink_port
    [ "$server" = smtp-sink ] && port=$smtp_sink_port
    for ((k = 0; k < 3; k++)); do
      c=${clients[$(((r + k) % 3))]}
      big_command "$c" "$port"
      measure "big $c $server" "${cmd[@]}"
    done
    if [ "$server" = send_sink ]; then
      big_command upload "$port"
      measure "big upload $server" "${cmd[@]}"
    fi
  done
done

echo
echo "-- $small small messages, one connection each, to smtp-sink, $small_runs rounds"
for ((r = 0; r < small_runs; r++)); do
  if ((r % 2 == 0)); then order=(postwing python); else order=(python postwing); fi
  for c in "${order[@]}"; do
    if [ "$c" = postwing ]; then
      measure "small postwing smtp-sink" "$small_host" "$smtp_sink_port" "$small"
    else
      measure "small python smtp-sink" "$python" bench/send_smtplib_loop.py 127.0.0.1 \
        "$smtp_sink_port" "$small"
    fi
  done
done

echo
echo "load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
"$python" - "$work/results" "$size_mib" "$small" <<'PY'
import statistics, sys
from collections import defaultdict

path, size_mib, small = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
secs, mem = defaultdict(list), defaultdict(list)
for line in open(path):
    kind, client, server, s, kib = line.split()
    secs[(kind, client, server)].append(float(s))
    mem[(kind, client, server)].append(int(kib))
med = {k: statistics.median(v) for k, v in secs.items()}
peak = {k: max(v) for k, v in mem.items()}
mb = size_mib * 1048576 / 1e6

print("== medians: one message with a %d MiB attachment" % size_mib)
print("%-10s %-9s %9s %9s %10s" % ("server", "client", "seconds", "MB/s", "peak MiB"))
print("(MB/s of attachment bytes; peak MiB: the largest resident set over the rounds)")
for server in ("send_sink", "smtp-sink"):
    for client in ("postwing", "python", "curl"):
        k = ("big", client, server)
        print("%-10s %-9s %9.2f %9.1f %10.1f" % (server, client, med[k], mb / med[k], peak[k] / 1024))
k = ("big", "upload", "send_sink")
print("%-10s %-9s %9.2f %9.1f %10.1f   (curl -T of a ready-made message: the sink's ceiling)"
      % ("send_sink", "upload", med[k], mb / med[k], peak[k] / 1024))
print()
for server in ("send_sink", "smtp-sink"):
    p = med[("big", "postwing", server)]
    print("%s: postwing-send is %.2fx as fast as Python smtplib (target 10x), %.2fx as fast as curl -F (target 3x);"
          % (server, med[("big", "python", server)] / p, med[("big", "curl", server)] / p))
    print("   peak memory %.0f%% of Python's (target at most 50%%), %.1fx curl's"
          % (100.0 * peak[("big", "postwing", server)] / peak[("big", "python", server)],
             peak[("big", "postwing", server)] / peak[("big", "curl", server)]))
print()
print("== medians: %d small messages to smtp-sink (whole process, start-up included)" % small)
rate = {}
for client in ("postwing", "python"):
    k = ("small", client, "smtp-sink")
    rate[client] = small / med[k]
    print("%-9s %8.2f s %9.0f messages/s %8.1f peak MiB" % (client, med[k], rate[client], peak[k] / 1024))
print("small messages: the library's host sends %.2fx as many per second as the Python loop (target 2x)"
      % (rate["postwing"] / rate["python"]))
PY
