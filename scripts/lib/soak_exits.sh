# shellcheck shell=bash
# The exit paths that only the soak run goes through (the end-to-end suite has its own
# versions of these stories). Source it after tests/e2e/lib/soak.sh; do not run it.

soak_exit_sigterm() {
  local key=$1 config=$2 snapshot=$3 status
  edge_lab_start_relaying "$key" "$config"
  soak_stop "$EDGE_PID"
  status=$SOAK_STATUS
  SOAK_EXIT_NOTE="status $status"
  [ "$status" = 0 ] && soak_same_as "$snapshot"
}

# The edge is refused by the Hub (a device name longer than the devhub stores).
soak_exit_failed_registration() {
  local key=$1 config=$2 snapshot=$3 status refused=$LAB/$1.json
  sed "s|\"deviceName\": \"[^\"]*\"|\"deviceName\": \"$(printf 'n%.0s' $(seq 300))\"|" \
    "$config" >"$refused"
  edge_lab_start_edge "$key" "$refused"
  edge_lab_wait_exit "$EDGE_PID" 30
  status=$LAB_EXIT_STATUS
  SOAK_EXIT_NOTE="status $status"
  [ "$status" = 1 ] && grep -qF "ERROR Register failed: " "$LAB/$key.out" &&
    soak_same_as "$snapshot"
}

# Another program holds larkspire0, so the edge registers, reports, and then fails to open
# its TUN device. The holder is part of the "before" picture.
soak_exit_tun_taken() {
  local key=$1 config=$2 status holder before
  ip netns exec "$EDGE_NS" "$SOAK_PYTHON" -c '
import fcntl, os, struct, time
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack("16sH", b"larkspire0", 0x0001 | 0x1000))
time.sleep(3600)
' &
  holder=$!
  LAB_PIDS+=("$holder")
  lab_wait_for 10 edge_lab_edge ip link show larkspire0 || { SOAK_EXIT_NOTE="no holder"; return 1; }
  before=$(soak_snapshot)
  edge_lab_start_edge "$key" "$config"
  edge_lab_wait_exit "$EDGE_PID" 30
  status=$LAB_EXIT_STATUS
  SOAK_EXIT_NOTE="status $status"
  local result=0
  { [ "$status" = 1 ] && grep -qF "Heartbeat accepted." "$LAB/$key.out" &&
    grep -qF "ERROR TUNSETIFF failed: " "$LAB/$key.out" && soak_same_as "$before"; } || result=1
  kill -KILL "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  lab_wait_for 10 bash -c "! ip netns exec '$EDGE_NS' ip link show larkspire0" || true
  return $result
}

# SIGKILL leaves the rules behind; the next start must hold exactly one copy of each, and its
# SIGTERM must leave the namespace as it was before the first start.
soak_exit_sigkill_restart() {
  local key=$1 config=$2 snapshot=$3 status rules
  edge_lab_start_relaying "$key" "$config"
  kill -KILL "$EDGE_PID"
  edge_lab_wait_exit "$EDGE_PID" 10
  edge_lab_start_relaying "$key-again" "$config"
  rules=$(soak_edge_rules)
  soak_stop "$EDGE_PID"
  status=$SOAK_STATUS
  SOAK_EXIT_NOTE="$(wc -l <<<"$rules") edge rules after the new start, status $status"
  [ -n "$rules" ] && [ "$(sort <<<"$rules" | uniq -d)" = "" ] && [ "$status" = 0 ] &&
    soak_same_as "$snapshot"
}
