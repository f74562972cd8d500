#!/usr/bin/env bash
# The 100 MiB send over STARTTLS: postwing-send --starttls against Python's smtplib with
# starttls() and the email package, alternating, to tls_sink.py (reads and discards).
# Prints the median wall time and peak memory of each and the ratios.
#
#   RUNS=5 SIZE_MIB=100 BUILD=build bash bench/compare_tls.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
size_mib=${SIZE_MIB:-100}
build=${BUILD:-build}
python=/usr/bin/python3

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target postwing-send >/dev/null
send="$build/tools/postwing-send"

. bench/placement.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/postwing-tls-bench.XXXXXX")
sink_pid=""
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
head -c $((size_mib << 20)) /dev/urandom >"$work/big.bin"

"${server_cpu[@]}" "$python" bench/tls_sink.py "$work/cert.pem" "$work/key.pem" >"$work/sink.out" &
sink_pid=$!
for _ in $(seq 100); do grep -q PORT "$work/sink.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/PORT/ {print $2}' "$work/sink.out")

measure() {  # label, command...: appends "seconds kib" to $work/<label>
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time.tmp" "${client_cpu[@]}" "$@" >/dev/null 2>"$work/err.tmp" ||
    { echo "compare_tls: $label failed:" >&2; cat "$work/err.tmp" >&2; exit 1; }
  cat "$work/time.tmp" >>"$work/$label"
}

for _ in $(seq "$runs"); do
  measure postwing env POSTWING_PASSWORD= "$send" -s 127.0.0.1 -p "$port" --starttls --insecure \
    --timeout 600 -f bench@example.org -t sink@example.org -S "A large attachment" \
    -a "$work/big.bin"
  measure python "$python" bench/send_smtplib_starttls.py 127.0.0.1 "$port" "$work/big.bin"
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
pw_t=$(awk '{print $1}' "$work/postwing" | median)
pw_m=$(awk '{print $2}' "$work/postwing" | median)
py_t=$(awk '{print $1}' "$work/python" | median)
py_m=$(awk '{print $2}' "$work/python" | median)
echo "TLS send of ${size_mib} MiB over STARTTLS, median of $runs runs; $placement"
printf '  postwing-send --starttls   %6.2f s  %7d KiB peak\n' "$pw_t" "$pw_m"
printf '  Python smtplib starttls()  %6.2f s  %7d KiB peak\n' "$py_t" "$py_m"
awk -v a="$py_t" -v b="$pw_t" -v c="$py_m" -v d="$pw_m" \
  'BEGIN {printf "  postwing is %.1f times faster, with %.2f of Python'"'"'s peak memory\n", a / b, d / c}'
