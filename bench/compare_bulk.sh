#!/usr/bin/env bash
# Whole-process comparison of sending many small messages over loopback to Postfix's
# smtp-sink, clients alternating in each round. Every client sends the same 453-byte message
# (postwing as a ready message, smtp-source with -F, smtplib with sendmail()):
#
#  a. one connection per message: send_small_messages (a C++ host of the library) against
#     Postfix's load generator smtp-source;
#  b. one reused connection: send_small_messages --reuse (KeepConnection, pipelining where
#     the sink offers it) against smtp-source -d and a Python smtplib loop over one SMTP object;
#  c. ten reused connections in parallel: send_small_messages --reuse --parallel 10 (ten
#     objects on one thread) against smtp-source -d -s 10.
#
# Prints medians of the rates (messages over the whole process's wall time, start-up
# included), peak resident memory (/usr/bin/time), the memory of each open connection beyond
# the first ((c) against (b)), and the ratios; the last three lines sum it up. The client runs
# on CPU 0 and the server on CPU 1 (taskset) when the machine has two CPUs.
#
#   bash bench/compare_bulk.sh                  (build/ is reused or made)
#   RUNS=5 COUNT_A=3000 COUNT=20000 BUILD=build PIN=0 bash bench/compare_bulk.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
count_a=${COUNT_A:-3000}
count=${COUNT:-20000}
build=${BUILD:-build}
python=/usr/bin/python3
smtp_sink=/usr/sbin/smtp-sink
smtp_source=/usr/sbin/smtp-source
limit=300 # seconds any one client may take

if [ ! -x "$smtp_sink" ] || [ ! -x "$smtp_source" ]; then
  echo "compare_bulk: installing postfix for smtp-sink and smtp-source"
  bash scripts/setup.sh
fi
for tool in /usr/bin/time taskset timeout "$python"; do
  command -v "$tool" >/dev/null || { echo "compare_bulk: $tool is missing" >&2; exit 1; }
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target send_small_messages >/dev/null
host="$build/bench/send_small_messages"

. bench/send_common.sh

# measure LABEL MESSAGES COMMAND...: runs the command on the client CPU under /usr/bin/time
# and appends "LABEL messages seconds peak_kib cpu_seconds" to the results.
measure() {
  local label=$1 messages=$2
  shift 2
  if ! /usr/bin/time -f "%e %M %U %S" -o "$work/time" "${client_cpu[@]}" timeout "$limit" "$@" \
    >"$work/out" 2>"$work/err"; then
    echo "compare_bulk: '$label' failed:" >&2
    cat "$work/out" "$work/err" >&2
    exit 1
  fi
  read -r secs kib user sys < <(tail -n 1 "$work/time")
  echo "$label $messages $secs $kib $("$python" -c "print($user + $sys)")" >>"$work/results"
  printf '  %-26s %7d messages %7.2f s %9.0f msg/s %7d KiB\n' "$label" "$messages" "$secs" \
    "$("$python" -c "print($messages / max($secs, 0.01))")" "$kib"
}

# The message: 453 bytes with CR LF line ends, and with LF for smtp-source, which adds the CR
# (and an empty line at the end: 455 bytes on its wire).
"$python" - "$work/message.eml" "$work/message.lf" <<'PY'
import sys
text = ("From: Bench <bench@example.org>\r\nTo: sink@example.org\r\n"
        "Subject: A small message of the bulk benchmark\r\n"
        "Date: Mon, 07 Dec 2026 12:00:00 +0000\r\nMessage-ID: <bulk-bench@example.org>\r\n"
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"
        "Content-Transfer-Encoding: 7bit\r\n\r\n"
        "Hello,\r\n\r\nthis is a small message of the bulk benchmark, the same for every client.\r\n"
        "\r\nIts 453 bytes are the size of a short notification, such as a password reset.\r\n"
        "\r\nBench\r\n").encode()
assert len(text) == 453, len(text)
open(sys.argv[1], "wb").write(text)
open(sys.argv[2], "wb").write(text.replace(b"\r\n", b"\n"))
PY

echo "== postwing bulk send comparison"
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "placement: $placement"
echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews the figures)"
echo "peers: postfix smtp-source, $("$python" --version) smtplib; server: postfix smtp-sink"
echo "messages: $count_a per run in (a), $count in (b) and (c); $runs rounds"
start_smtp_sink
port=$smtp_sink_port
: >"$work/results"

envelope=(-f bench@example.org -t sink@example.org)
# client MODE NAME: sets cmd and n to the command and its message count.
client() {
  case $1/$2 in
    a/postwing) n=$count_a cmd=("$host" "$port" "$n" --raw "$work/message.eml") ;;
    a/smtp-source) n=$count_a cmd=("$smtp_source" -F "$work/message.lf" -m "$n" "${envelope[@]}"
      "127.0.0.1:$port") ;;
    b/postwing) n=$count cmd=("$host" "$port" "$n" --raw "$work/message.eml" --reuse) ;;
    b/smtp-source) n=$count cmd=("$smtp_source" -d -F "$work/message.lf" -m "$n" "${envelope[@]}"
      "127.0.0.1:$port") ;;
    b/python) n=$count cmd=("$python" bench/send_smtplib_loop.py 127.0.0.1 "$port" "$n"
      --reuse "$work/message.eml") ;;
    c/postwing) n=$count cmd=("$host" "$port" "$n" --raw "$work/message.eml" --reuse
      --parallel 10) ;;
    c/smtp-source) n=$count cmd=("$smtp_source" -d -s 10 -F "$work/message.lf" -m "$n"
      "${envelope[@]}" "127.0.0.1:$port") ;;
  esac
}

for mode in a b c; do
  echo
  case $mode in
    a) echo "-- (a) one connection per message"; clients=(postwing smtp-source) ;;
    b) echo "-- (b) one reused connection"; clients=(postwing smtp-source python) ;;
    c) echo "-- (c) ten reused connections in parallel"; clients=(postwing smtp-source) ;;
  esac
  for ((r = 0; r < runs; r++)); do
    for ((k = 0; k < ${#clients[@]}; k++)); do
      c=${clients[$(((r + k) % ${#clients[@]}))]}
      client "$mode" "$c"
      measure "$mode $c" "$n" "${cmd[@]}"
    done
  done
done

echo
echo "load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
"$python" - "$work/results" <<'PY'
import statistics, sys
from collections import defaultdict

rates, mem, cpu = defaultdict(list), defaultdict(list), defaultdict(list)
for line in open(sys.argv[1]):
    mode, client, messages, secs, kib, cpu_secs = line.split()
    rates[(mode, client)].append(int(messages) / max(float(secs), 0.01))
    mem[(mode, client)].append(int(kib))
    cpu[(mode, client)].append(float(cpu_secs) * 1e6 / int(messages))
rate = {k: statistics.median(v) for k, v in rates.items()}
peak = {k: statistics.median(v) for k, v in mem.items()}
cpu_us = {k: statistics.median(v) for k, v in cpu.items()}

names = {"a": "one connection per message", "b": "one reused connection",
         "c": "ten reused connections"}
print("== medians (messages per second over the whole process's wall time; peak resident KiB;")
print("   the client's CPU time, user + system, per message: less sensitive to other work)")
print("%-4s %-12s %10s %10s %14s" % ("mode", "client", "msg/s", "peak KiB", "CPU us/msg"))
for k in sorted(rate):
    print("%-4s %-12s %10.0f %10.0f %14.1f" % (k[0], k[1], rate[k], peak[k], cpu_us[k]))
print()
for client in ("postwing", "smtp-source"):
    per = (peak[("c", client)] - peak[("b", client)]) / 9
    print("memory per open connection beyond the first, %s: %.1f KiB "
          "((c) peak - (b) peak) / 9%s" % (client, per, " (target < 64 KiB)" if client == "postwing" else ""))

def ratio(mode, peer):
    return rate[(mode, "postwing")] / rate[(mode, peer)]

ra = ratio("a", "smtp-source")
faster_b = max(("smtp-source", "python"), key=lambda p: rate[("b", p)])
rb = ratio("b", faster_b)
rc = ratio("c", "smtp-source")
print("targets: (a) %.2fx smtp-source (>= 1.0x); (b) %.2fx the faster peer, %s (>= 2x); "
      "(c) %.2fx smtp-source -d -s 10 (>= 1.2x)" % (ra, rb, faster_b, rc))
print()
print("bulk a: postwing %.0f msg/s, smtp-source %.0f msg/s, ratio %.2f"
      % (rate[("a", "postwing")], rate[("a", "smtp-source")], ra))
print("bulk b: postwing %.0f msg/s, smtp-source -d %.0f msg/s, python %.0f msg/s, ratio %.2f"
      % (rate[("b", "postwing")], rate[("b", "smtp-source")], rate[("b", "python")], rb))
print("bulk c: postwing %.0f msg/s, smtp-source -d -s 10 %.0f msg/s, ratio %.2f"
      % (rate[("c", "postwing")], rate[("c", "smtp-source")], rc))
PY
