# Sourced by the send comparisons: where the client and the server run. Sets client_cpu and
# server_cpu (command prefixes) and placement (its description). PIN=0 leaves it to the system.
if [ "${PIN:-1}" = 0 ]; then
  client_cpu=()
  server_cpu=()
  placement="not pinned (PIN=0): the system places client and server"
elif [ "$(nproc)" -ge 2 ]; then
  client_cpu=(taskset -c 0)
  server_cpu=(taskset -c 1)
  placement="client on CPU 0, server on CPU 1 (taskset)"
else
  client_cpu=()
  server_cpu=()
  placement="one CPU: client and server share it"
fi
# The sends measured go to the local sink, whatever accounts the user keeps.
export POSTWING_ACCOUNTS="" POSTWING_SYSTEM_ACCOUNTS=""
