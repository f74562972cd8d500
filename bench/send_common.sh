# Sourced by the send comparisons after $python is set: the placement, a work folder outside
# the checkout removed at exit with the servers started (their pids in pids), free_port and
# wait_for_port.
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
