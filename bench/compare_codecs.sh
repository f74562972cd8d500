#!/usr/bin/env bash
# Whole-process comparison of the codecs with their usual peers, run in one go with the
# tools alternating, medians of several runs:
#   Base64, 76-character lines:  bench/tools pw_base64   vs  coreutils base64 -w 76  (256 MiB random)
#                                (Load + EncodeLines as message assembly does, and --stream:
#                                EncodeFileLines, the file read in pieces)
#   quoted-printable:            pw_qp                   vs  Python binascii.b2a_qp  (64 MiB text)
#                                (the file read whole as Python reads it, and --library-read:
#                                through the module function ReadWholeFile)
#   uuencode:                    pw_uuencode             vs  sharutils uuencode      (256 MiB random)
# Prints MB/s of input (10^6 bytes per second) from the median elapsed time, peak memory
# (maximum resident set) and the ratios (peer time / our time: above 1 means faster than
# the peer), on elapsed time and, less sensitive to a busy machine, on CPU time (user+sys).
#
# Usage: bench/compare_codecs.sh [BUILD_DIR]     (default: build)
# Environment: RUNS (default 5), PW_CPU (pin every process to this CPU with taskset),
#              BASE64_MIB (256), QP_MIB (64), UU_MIB (256), LIMIT_SECONDS (240).
# Needs: coreutils, sharutils (uuencode), GNU time (/usr/bin/time), /usr/bin/python3.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
tools=$build/bench
runs=${RUNS:-5}
limit=${LIMIT_SECONDS:-240}
python=/usr/bin/python3
for tool in pw_base64 pw_qp pw_uuencode; do
  [[ -x $tools/$tool ]] || { echo "missing $tools/$tool: build the target $tool" >&2; exit 2; }
done
for need in /usr/bin/time uuencode uudecode base64 "$python"; do
  command -v "$need" >/dev/null || { echo "missing $need (apt-get install time sharutils coreutils python3)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/pwcompare.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$SECONDS

pin=()
if [[ -n ${PW_CPU:-} ]] && command -v taskset >/dev/null; then pin=(taskset -c "$PW_CPU"); fi

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "placement: ${pin[*]:-not pinned}; runs: $runs, alternating"

# Inputs.
head -c $(( ${BASE64_MIB:-256} * 1048576 )) /dev/urandom > "$work/random.bin"
head -c $(( ${UU_MIB:-256} * 1048576 )) "$work/random.bin" > "$work/uu.bin" 2>/dev/null ||
  head -c $(( ${UU_MIB:-256} * 1048576 )) /dev/urandom > "$work/uu.bin"
"$python" - "$work/text.txt" $(( ${QP_MIB:-64} * 1048576 )) <<'EOF'
# Text like a CSV or HTML attachment: CR LF lines of 0-16 words, tab-separated on a fifth
# of the lines, some UTF-8 letters, "=" in attributes.
import random, sys
random.seed(12345)
n = int(sys.argv[2])
vocab = ("the quick brown fox jumps over lazy dog mail message send text line value "
         "<td> </td> <p> class=\"x\" width=100 Stra\u00dfe caf\u00e9 na\u00efve M\u00fcller "
         "price: 10,00 \u20ac; id; name; city; note").split(" ")
vocab = [w.encode("utf-8") for w in vocab]
lines, size = [], 0
while size < n:
    sep = b"\t" if random.random() < 0.2 else b" "
    line = sep.join(random.choice(vocab) for _ in range(random.randint(0, 16))) + b"\r\n"
    lines.append(line)
    size += len(line)
open(sys.argv[1], "wb").write(b"".join(lines)[:n])
EOF

# Each output checked once against the peer (or an independent decoder) before timing.
base64 -w 76 "$work/random.bin" | sed 's/$/\r/' > "$work/peer.b64"
for mode in "" --stream; do
  "$tools/pw_base64" $mode "$work/random.bin" > "$work/ours.b64"
  cmp -s "$work/peer.b64" "$work/ours.b64" ||
    { echo "Base64 $mode output differs from coreutils (with CR LF line ends)" >&2; exit 1; }
done
"$tools/pw_qp" "$work/text.txt" > "$work/ours.qp"
"$python" -c "import sys, quopri; sys.exit(quopri.decodestring(open(sys.argv[1],'rb').read()) != open(sys.argv[2],'rb').read())" \
  "$work/ours.qp" "$work/text.txt" || { echo "quoted-printable does not decode back" >&2; exit 1; }
# (uudecode wants a line end after "end", which the format as sent does not carry.)
{ "$tools/pw_uuencode" "$work/uu.bin" check.bin; echo; } > "$work/ours.uu"
(cd "$work" && uudecode -o "$work/check.bin" "$work/ours.uu") && cmp -s "$work/check.bin" "$work/uu.bin" ||
  { echo "uuencode output does not uudecode back" >&2; exit 1; }
rm -f "$work"/ours.* "$work/peer.b64" "$work/check.bin"

# run NAME COMMAND...: one timed run, appends "seconds kilobytes cpu-seconds" to $work/NAME.
run() {
  local name=$1
  shift
  if (( SECONDS - start > limit )); then return 0; fi
  /usr/bin/time -f "%e %M %U %S" -o "$work/$name.last" timeout 120 "${pin[@]}" "$@" > /dev/null
  awk '{print $1, $2, $3 + $4}' "$work/$name.last" >> "$work/$name"
}

b2a_qp='import sys, binascii; sys.stdout.buffer.write(binascii.b2a_qp(open(sys.argv[1], "rb").read()))'
for (( i = 0; i < runs; i++ )); do
  run b64_ours "$tools/pw_base64" "$work/random.bin"
  run b64_peer base64 -w 76 "$work/random.bin"
  run b64_stream "$tools/pw_base64" --stream "$work/random.bin"
  run qp_ours "$tools/pw_qp" "$work/text.txt"
  run qp_peer "$python" -c "$b2a_qp" "$work/text.txt"
  run qp_libread "$tools/pw_qp" --library-read "$work/text.txt"
  run uu_ours "$tools/pw_uuencode" "$work/uu.bin" data.bin
  run uu_peer uuencode "$work/uu.bin" data.bin
done

# median FILE COLUMN
median() { sort -n -k"$2" "$1" | awk -v c="$2" '{v[NR]=$c} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

report() {
  local label=$1 ours=$2 peer=$3 peer_name=$4 bytes=$5
  [[ -s $work/$ours && -s $work/$peer ]] || { echo "$label: not run (time limit)"; return; }
  local to tp mo mp co cp n
  to=$(median "$work/$ours" 1); tp=$(median "$work/$peer" 1)
  mo=$(median "$work/$ours" 2); mp=$(median "$work/$peer" 2)
  co=$(median "$work/$ours" 3); cp=$(median "$work/$peer" 3)
  n=$(wc -l < "$work/$ours")
  awk -v l="$label" -v pn="$peer_name" -v b="$bytes" -v to="$to" -v tp="$tp" -v mo="$mo" -v mp="$mp" \
      -v co="$co" -v cp="$cp" -v n="$n" 'BEGIN {
    mbo = (to > 0) ? b / 1e6 / to : 0; mbp = (tp > 0) ? b / 1e6 / tp : 0
    printf "%-26s postwing %7.1f MB/s %6.2f s cpu %5.2f s %6.1f MiB | %-18s %7.1f MB/s %6.2f s cpu %5.2f s %6.1f MiB | x%.2f elapsed, x%.2f cpu (%d runs)\n",
      l, mbo, to, co, mo / 1024, pn, mbp, tp, cp, mp / 1024, (to > 0) ? tp / to : 0, (co > 0) ? cp / co : 0, n }'
}

echo
report "Base64, Load+EncodeLines" b64_ours b64_peer "base64 -w 76" "$(stat -c %s "$work/random.bin")"
report "Base64, EncodeFileLines" b64_stream b64_peer "base64 -w 76" "$(stat -c %s "$work/random.bin")"
report "QP, file read whole" qp_ours qp_peer "python3 b2a_qp" "$(stat -c %s "$work/text.txt")"
report "QP, via ReadWholeFile" qp_libread qp_peer "python3 b2a_qp" "$(stat -c %s "$work/text.txt")"
report "uuencode (UUEncodeFile)" uu_ours uu_peer "sharutils uuencode" "$(stat -c %s "$work/uu.bin")"
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg); $(( SECONDS - start )) s"
