# shellcheck shell=bash
# Hub faults and resource readings on the edge lab, for the fault scenario and scripts/soak.

SOAK_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The system's interpreter: killing a version manager's shim would leave its child running.
SOAK_PYTHON=$(PATH=/usr/bin:$PATH command -v python3)

soak_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
soak_threads() { find "/proc/$1/task" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
soak_rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# soak_settle PID FDS THREADS SECONDS: waits for FDS descriptors and THREADS threads again;
# prints "fds threads rss_kib".
soak_settle() {
  local deadline=$((SECONDS + $4)) now
  until now="$(soak_fds "$1") $(soak_threads "$1")" && [ "$now" = "$2 $3" ]; do
    [ $SECONDS -lt $deadline ] || break
    sleep 0.2
  done
  echo "$now $(soak_rss_kib "$1")"
  [ "$now" = "$2 $3" ]
}

_soak_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# soak_time_to_resume SECONDS: how long until a ping crosses the tunnel, at most SECONDS.
soak_time_to_resume() {
  local start deadline=$((SECONDS + $1))
  start=$(date +%s.%N)
  until edge_lab_hub ping -c 1 -W 0.3 "$EDGE_LAB_LAN_HOST" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
  done
  _soak_elapsed "$start" "$(date +%s.%N)"
}

# soak_push_to_hub SECONDS: datagrams into the overlay too big for the UDP channel.
soak_push_to_hub() {
  edge_lab_edge timeout "$1" "$SOAK_PYTHON" -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
while True:
    try:
        s.sendto(b"Z" * 8000, ("10.250.0.1", 9))
    except OSError:  # the channel going down and up must not end the push
        pass' >/dev/null 2>&1 || true
}

# Each soak_fault_* leaves the Hub down or stalled; soak_hub_back FAULT ends it.
soak_fault_kill() {
  edge_lab_stop_devhub KILL
  sleep 1
}

_soak_stalls() { grep -c "the Hub stopped reading" "$LAB/$1.out" || true; }
_soak_stall_logged_after() { [ "$(_soak_stalls "$1")" -gt "$2" ]; }
# soak_fault_stall KEY: the devhub frozen while traffic is pushed at it. Sets SOAK_STALL_RESULT.
soak_fault_stall() {
  local before pusher
  before=$(_soak_stalls "$1")
  kill -STOP "$DEVHUB_PID"
  soak_push_to_hub 25 &
  pusher=$!
  SOAK_STALL_RESULT=undetected
  ! lab_wait_for 25 _soak_stall_logged_after "$1" "$before" || SOAK_STALL_RESULT=detected
  kill "$pusher" 2>/dev/null || true
  wait "$pusher" 2>/dev/null || true
  sleep 2  # one more handshake that hangs on the frozen Hub
}

_soak_met_twice() { [ "$(wc -l <"$1")" -ge 2 ]; }
# soak_fault_standin MODE: fault_hub.py MODE in the devhub's place until the edge met it twice;
# counts misses in SOAK_STANDIN_MISSED.
soak_fault_standin() {
  local counter=$LAB/standin.count pid
  edge_lab_stop_devhub KILL
  : >"$counter"
  ip netns exec "$HUB_NS" "$SOAK_PYTHON" "$SOAK_LIB_DIR/fault_hub.py" "$1" "$EDGE_LAB_HUB_ADDR" \
    "$EDGE_LAB_PORT" "$counter" >>"$LAB/standin.out" 2>&1 &
  pid=$!
  LAB_PIDS+=("$pid")
  lab_wait_for 30 _soak_met_twice "$counter" || SOAK_STANDIN_MISSED=$((${SOAK_STANDIN_MISSED:-0} + 1))
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

soak_hub_back() {
  if [ "$1" = stall ]; then kill -CONT "$DEVHUB_PID"; else edge_lab_start_devhub; fi
}
