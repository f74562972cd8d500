#!/usr/bin/env bash
# Runs every comparison in one go and writes bench/REPORT.md: the codecs against coreutils
# base64, Python's binascii.b2a_qp and sharutils uuencode (bench/compare_codecs.sh), and the
# sends against Python's smtplib and curl (bench/compare_send.sh), the send over STARTTLS
# against smtplib with starttls() (bench/compare_tls.sh), many small messages (one connection
# each, one reused, ten in parallel) against Postfix's smtp-source and a smtplib loop
# (bench/compare_bulk.sh), and the library's own Google Benchmarks (codecs in MB/s of input,
# the event loop's idle pass). The figures are the scripts' own, ratios against the peers
# measured in the same run, with the machine and the commands to reproduce them.
#
#   bash bench/report.sh            (BUILD=dir, default build/; RUNS, SIZE_MIB, SMALL, ... are
#                                    passed on to the comparison scripts)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
out=bench/REPORT.md

bash scripts/setup.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target pw_base64 pw_qp pw_uuencode postwing-send send_sink \
  send_small_messages codec_bench event_loop_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/pwreport.XXXXXX")
trap 'rm -rf "$work"' EXIT

started=$(date -u '+%Y-%m-%d %H:%M UTC')
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "report: codecs"
bash bench/compare_codecs.sh "$build" 2>&1 | tee "$work/codecs.txt"
echo "report: sends"
BUILD=$build bash bench/compare_send.sh 2>&1 | tee "$work/send.txt"
echo "report: sends over STARTTLS"
BUILD=$build bash bench/compare_tls.sh 2>&1 | tee "$work/tls.txt"
echo "report: bulk sends"
BUILD=$build bash bench/compare_bulk.sh 2>&1 | tee "$work/bulk.txt"
echo "report: library benchmarks"
"$build/bench/codec_bench" --benchmark_min_time=0.2 2>&1 | tee "$work/codec_bench.txt"
"$build/bench/event_loop_bench" --benchmark_min_time=0.2 2>&1 | tee "$work/loop_bench.txt"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

{
  echo "# Benchmark report"
  echo
  echo "Written by \`bench/report.sh\` on $started. Ratios are peer time / postwing time"
  echo "(above 1: postwing is faster), each pair measured in the same run."
  echo
  echo "## Machine"
  echo
  echo '```'
  echo "CPU:     $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1) x $(nproc)"
  echo "Memory:  $(awk '/MemTotal/ {printf "%.1f GiB", $2/1048576}' /proc/meminfo)"
  echo "Kernel:  $(uname -sr)"
  echo "System:  $(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "Compiler: $(c++ --version | head -1)"
  echo "Load average before / after: $load_before / $load_after"
  echo "Commit:  $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo '```'
  echo
  echo "## Codecs (bench/compare_codecs.sh)"
  echo
  echo '```'
  cat "$work/codecs.txt"
  echo '```'
  echo
  echo "## Sending (bench/compare_send.sh)"
  echo
  echo '```'
  cat "$work/send.txt"
  echo '```'
  echo
  echo "## Sending over STARTTLS (bench/compare_tls.sh)"
  echo
  echo '```'
  cat "$work/tls.txt"
  echo '```'
  echo
  echo "## Many small messages: reuse, pipelining, parallel connections (bench/compare_bulk.sh)"
  echo
  echo '```'
  cat "$work/bulk.txt"
  echo '```'
  echo
  echo "## Library benchmarks (Google Benchmark)"
  echo
  echo '```'
  cat "$work/codec_bench.txt" "$work/loop_bench.txt"
  echo '```'
  echo
  echo "## Reproduce"
  echo
  echo '```'
  echo "bash bench/report.sh                       # both, this file"
  echo "bash bench/compare_codecs.sh $build        # codecs only"
  echo "BUILD=$build bash bench/compare_send.sh    # sends only"
  echo "BUILD=$build bash bench/compare_tls.sh     # the STARTTLS send only"
  echo "BUILD=$build bash bench/compare_bulk.sh    # many small messages only"
  echo "$build/bench/codec_bench                   # codec throughput"
  echo '```'
} >"$out"
echo "report: wrote $out"
