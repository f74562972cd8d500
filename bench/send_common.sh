# Sourced by the send comparisons after $python and $smtp_sink are set: the placement, a work
# folder outside the checkout removed at exit with the servers started (their pids in pids),
# free_port, wait_for_port and start_smtp_sink.
. bench/placement.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/postwing-bench.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A port for smtp-sink, which cannot report the one it got: the system picks a free one.
free_port() {
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_for_port() {
  "$python" - "$1" <<'PY'
import socket, sys, time
for _ in range(200):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
}

# Postfix's smtp-sink on the server CPU, on a free port (smtp_sink_port); it offers PIPELINING
# (and ESMTP) by default; 256 is its listen backlog. Bounded: an hour at most.
start_smtp_sink() {
  smtp_sink_port=$(free_port)
  local user=()
  [ "$(id -u)" -eq 0 ] && user=(-u nobody)
  "${server_cpu[@]}" timeout 3600 "$smtp_sink" "${user[@]}" "127.0.0.1:$smtp_sink_port" 256 \
    2>"$work/smtp-sink.err" &
  pids+=($!)
  wait_for_port "$smtp_sink_port" || { cat "$work/smtp-sink.err" >&2; exit 1; }
}
