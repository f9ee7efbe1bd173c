# shellcheck shell=bash
# Fault injection, resource readings and exit-path checks on top of the edge lab. Source it
# after edge_lab.sh; do not run it. Used by scripts/soak and by the short e2e scenarios.

SOAK_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOAK_WEB_USER=admin
SOAK_WEB_PASSWORD=soakpw
SOAK_WEB_URL=http://127.0.0.1:18080
# The system's interpreter: a wrapper (a version manager's shim) would run Python as its child,
# and killing the wrapper would leave the stand-ins running.
SOAK_PYTHON=/usr/bin/python3
[ -x "$SOAK_PYTHON" ] || SOAK_PYTHON=$(command -v python3)

# soak_write_config FILE: the lab's configuration with a known web login.
soak_write_config() {
  cat >"$1" <<JSON
{
  "serverUrl": "$EDGE_LAB_HUB_URL",
  "deviceName": "Soak Edge",
  "sharedNetworks": [],
  "webUsername": "$SOAK_WEB_USER",
  "webPassword": "$SOAK_WEB_PASSWORD"
}
JSON
}

# --- What the edge leaves in its namespace ----------------------------------------------

# soak_snapshot: firewall (no counters, no time-stamp comments), routes and interfaces of
# the edge namespace, in one text that two runs can compare.
soak_snapshot() {
  echo "## iptables"
  edge_lab_firewall
  echo "## routes"
  edge_lab_routes
  echo "## links"
  edge_lab_edge ip -o link show | sed 's/^[0-9]*: //; s/ link\/.*//'
}

# soak_edge_rules: the edge's own rules, one per line, as they stand.
soak_edge_rules() {
  edge_lab_firewall | grep -E 'larkspire0|-s 10\.250\.0\.0/16' || true
}

# soak_same_as SNAPSHOT: true when the namespace matches SNAPSHOT; prints the difference.
soak_same_as() {
  local now
  now=$(soak_snapshot)
  [ "$now" = "$1" ] && return 0
  diff <(echo "$1") <(echo "$now") | sed 's/^/    /'
  return 1
}

# --- What the edge holds -----------------------------------------------------------------

soak_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
soak_threads() { find "/proc/$1/task" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
soak_rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# soak_settle PID FDS THREADS SECONDS: waits until the process is back at FDS descriptors
# and THREADS threads (a heartbeat or a web request in flight holds one more for a moment);
# prints "fds threads rss_kib" as last seen. Fails when it never got there.
soak_settle() {
  local pid=$1 fds=$2 threads=$3 deadline=$((SECONDS + $4)) f t
  while true; do
    f=$(soak_fds "$pid")
    t=$(soak_threads "$pid")
    if { [ "$f" -eq "$fds" ] && [ "$t" -eq "$threads" ]; } || [ $SECONDS -ge $deadline ]; then
      echo "$f $t $(soak_rss_kib "$pid")"
      [ "$f" -eq "$fds" ] && [ "$t" -eq "$threads" ]
      return
    fi
    sleep 0.2
  done
}

# --- Traffic -------------------------------------------------------------------------------

_soak_now() { date +%s.%N; }
_soak_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# soak_time_to_resume SECONDS: pings the LAN host through the tunnel until one answers;
# prints the time that took (two decimals), or fails after SECONDS.
soak_time_to_resume() {
  local start end deadline=$((SECONDS + $1))
  start=$(_soak_now)
  until edge_lab_hub ping -c 1 -W 0.3 "$EDGE_LAB_LAN_HOST" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
  done
  end=$(_soak_now)
  _soak_elapsed "$start" "$end"
}

# soak_push_to_hub SECONDS: sends large UDP datagrams from the edge host into the overlay,
# which the edge must carry over the WebSocket channel (their fragments are too big for UDP).
soak_push_to_hub() {
  edge_lab_edge timeout "$1" "$SOAK_PYTHON" -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
data = b"\x5a" * 8000
while True:
    try:
        s.sendto(data, ("10.250.0.1", 9))
    except OSError:
        pass
' >/dev/null 2>&1 || true
}

# --- Faults -----------------------------------------------------------------------------------
# Each soak_fault_* leaves the Hub down or stalled; soak_hub_back brings the devhub back.

_soak_count() { grep -c "$2" "$LAB/$1.out" 2>/dev/null || true; }
# Predicates for lab_wait_for, which runs its command again on every poll.
_soak_stall_logged_after() { [ "$(_soak_count "$1" "the Hub stopped reading")" -gt "$2" ]; }
_soak_lines_at_least() { [ "$(wc -l <"$1")" -ge "$2" ]; }

soak_fault_kill() {
  edge_lab_stop_devhub KILL
  sleep 1
}

# The devhub freezes with its connections open: the kernel still accepts new connections and
# data, nobody answers. Traffic is pushed until the edge's buffers fill and it gives up on the
# channel. Prints "detected" or "undetected".
soak_fault_stall() {
  local key=$1 before
  before=$(_soak_count "$key" "the Hub stopped reading")
  kill -STOP "$DEVHUB_PID"
  soak_push_to_hub 25 &
  local pusher=$!
  if lab_wait_for 25 _soak_stall_logged_after "$key" "$before"; then
    SOAK_STALL_RESULT=detected
  else
    SOAK_STALL_RESULT=undetected
  fi
  kill "$pusher" 2>/dev/null || true
  wait "$pusher" 2>/dev/null || true
  # One more handshake that hangs on the frozen Hub.
  sleep 2
}

# soak_fault_standin MODE: the devhub is killed and a stand-in that misbehaves as MODE takes
# its port (see fault_hub.py) until the edge has met it twice.
soak_fault_standin() {
  local mode=$1 counter=$LAB/standin.count pid
  edge_lab_stop_devhub KILL
  : >"$counter"
  # Not through edge_lab_hub: a backgrounded function is a subshell whose PID is not the
  # stand-in's.
  ip netns exec "$HUB_NS" "$SOAK_PYTHON" "$SOAK_LIB_DIR/fault_hub.py" "$mode" "$EDGE_LAB_HUB_ADDR" \
    "$EDGE_LAB_PORT" "$counter" >>"$LAB/standin.out" 2>&1 &
  pid=$!
  LAB_PIDS+=("$pid")
  lab_wait_for 30 _soak_lines_at_least "$counter" 2 ||
    SOAK_STANDIN_MISSED=$((${SOAK_STANDIN_MISSED:-0} + 1))
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# soak_hub_back FAULT: ends the fault (thaws or restarts the devhub).
soak_hub_back() {
  if [ "$1" = stall ]; then
    kill -CONT "$DEVHUB_PID"
  else
    edge_lab_start_devhub
  fi
}

# --- Exit paths ---------------------------------------------------------------------------
# Each starts an edge under KEY, makes it end one way and reports through SOAK_EXIT_NOTE; it
# returns non-zero when the namespace is not back to SNAPSHOT (or the exit went wrong).

# soak_login_cookie JAR: logs in on the edge's web page and keeps the cookie in JAR.
soak_login_cookie() {
  edge_lab_edge curl -s --max-time 5 -c "$1" -H 'Content-Type: application/json' \
    -d "{\"username\":\"$SOAK_WEB_USER\",\"password\":\"$SOAK_WEB_PASSWORD\"}" \
    "$SOAK_WEB_URL/api/login" | grep -q '"success":true'
}

# soak_stop PID: SIGTERM and the exit status in SOAK_STATUS (a wrong status is recorded, not
# fatal, so the run can go on to the figures).
soak_stop() {
  kill -TERM "$1"
  edge_lab_wait_exit "$1" 20
  SOAK_STATUS=$LAB_EXIT_STATUS
}

# SIGTERM while the Hub is frozen with the edge's send buffers full: the stop must not wait
# for the Hub.
soak_exit_sigterm_frozen_hub() {
  local key=$1 config=$2 snapshot=$3 status
  edge_lab_start_relaying "$key" "$config"
  kill -STOP "$DEVHUB_PID"
  soak_push_to_hub 3
  soak_stop "$EDGE_PID"
  status=$SOAK_STATUS
  kill -CONT "$DEVHUB_PID"
  SOAK_EXIT_NOTE="status $status"
  [ "$status" = 0 ] && soak_same_as "$snapshot"
}

soak_exit_web_restart() {
  local key=$1 config=$2 snapshot=$3 status jar=$LAB/$1.cookies
  edge_lab_start_relaying "$key" "$config"
  lab_wait_for 10 soak_login_cookie "$jar" || { SOAK_EXIT_NOTE="login failed"; return 1; }
  edge_lab_edge curl -s --max-time 5 -b "$jar" -H 'Content-Type: application/json' \
    -X POST "$SOAK_WEB_URL/api/restart" \
    >"$LAB/$key.restart" || true
  edge_lab_wait_exit "$EDGE_PID" 20
  status=$LAB_EXIT_STATUS
  SOAK_EXIT_NOTE="status $status, reply $(cat "$LAB/$key.restart")"
  [ "$status" = 0 ] && soak_same_as "$snapshot"
}

# A forced update offered and signed by the devhub: a copy of the edge replaces itself and
# asks a stand-in systemctl for the restart. The devhub is restarted with the offer, then without.
soak_exit_forced_update() {
  local key=$1 config=$2 snapshot=$3 status dir=$LAB/update
  mkdir -p "$dir/bin" "$dir/tree/pkg/bin"
  printf '#!/bin/sh\necho "$*" >>"%s/systemctl.calls"\n' "$dir" >"$dir/bin/systemctl"
  printf '#!/bin/sh\necho "Usage: larkspire-edge"\n' >"$dir/tree/pkg/bin/larkspire-edge"
  chmod 0755 "$dir/bin/systemctl" "$dir/tree/pkg/bin/larkspire-edge"
  tar -czf "$dir/package.tar.gz" -C "$dir/tree" pkg
  cp "$LARKSPIRE_EDGE" "$dir/larkspire-edge"
  # The edge trusts the devhub's signing key: its /etc overlay holds the public half.
  [ -f "$dir/hub.key" ] || openssl genpkey -algorithm ed25519 -out "$dir/hub.key" 2>/dev/null
  mkdir -p "$LAB/$key/etc.up/larkspire/update-keys"
  "$LARKSPIRE_DEVHUB" --print-update-public-key "$dir/hub.key" \
    >"$LAB/$key/etc.up/larkspire/update-keys/hub.pem"
  edge_lab_stop_devhub TERM
  edge_lab_start_devhub --update-version 99.0.0 --update-force --update-package "$dir/package.tar.gz" \
    --update-signing-key "$dir/hub.key"
  PATH="$dir/bin:$PATH" LARKSPIRE_EDGE="$dir/larkspire-edge" edge_lab_start_edge "$key" "$config"
  edge_lab_wait_exit "$EDGE_PID" 60
  status=$LAB_EXIT_STATUS
  edge_lab_stop_devhub TERM
  edge_lab_start_devhub
  SOAK_EXIT_NOTE="status $status"
  [ "$status" = 0 ] && grep -qF "Forced update installed" "$LAB/$key.out" &&
    cmp -s "$dir/larkspire-edge" "$dir/tree/pkg/bin/larkspire-edge" && soak_same_as "$snapshot"
}
