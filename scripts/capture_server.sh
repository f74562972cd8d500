# Sourced by the scripts that need a capture SMTP server on 127.0.0.1:
#   start_capture_server INBOX WORK    starts tests/e2e/servers/capture_server.py (messages in
#                                      INBOX, its output in WORK) and sets server_pid and port;
#                                      exits the script if it does not start.
#   make_work_folder NAME              makes $work, a scratch folder removed on exit together
#                                      with the server started in it.
# Needs $python (Debian's python3 with python3-aiosmtpd).
# The sends of these scripts go to the local server, whatever accounts the user keeps.
export POSTWING_ACCOUNTS="" POSTWING_SYSTEM_ACCOUNTS=""

make_work_folder() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/postwing-$1.XXXXXX")
  server_pid=""
  trap _remove_work_folder EXIT
  trap 'exit 130' INT TERM
}
_remove_work_folder() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

start_capture_server() {
  local inbox=$1 work=$2
  "$python" tests/e2e/servers/capture_server.py --dir "$inbox" --lifetime 300 \
    >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  port=""
  for _ in $(seq 200); do
    port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "The capture server did not start:" >&2
    cat "$work/server.err" >&2
    exit 1
  fi
}
