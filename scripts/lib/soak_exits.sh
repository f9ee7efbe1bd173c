# shellcheck shell=bash
# The configuration, snapshots and exit paths that only the soak run uses (the end-to-end suite
# has its own versions of these stories). Source it after tests/e2e/lib/soak.sh; do not run it.

SOAK_WEB_USER=admin
SOAK_WEB_PASSWORD=soakpw
SOAK_WEB_URL=$EDGE_LAB_WEB

# soak_write_config FILE: the lab's configuration with a known web login.
soak_write_config() {
  edge_lab_write_config "$1" '[]' "\"webUsername\": \"$SOAK_WEB_USER\"" \
    "\"webPassword\": \"$SOAK_WEB_PASSWORD\""
}

soak_snapshot() { edge_lab_snapshot; }
# soak_edge_rules: the edge's own rules, one per line, as they stand.
soak_edge_rules() { edge_lab_edge iptables-save | grep -E 'larkspire0|-s 10\.250\.0\.0/16' || true; }

# soak_same_as SNAPSHOT: true when the namespace matches SNAPSHOT; prints the difference.
soak_same_as() {
  local now
  now=$(soak_snapshot)
  [ "$now" = "$1" ] && return 0
  diff <(echo "$1") <(echo "$now") | sed 's/^/    /'
  return 1
}

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

# Each soak_exit_* starts an edge under KEY, makes it end one way and reports through
# SOAK_EXIT_NOTE; it returns non-zero when the namespace is not back to SNAPSHOT (or the exit
# went wrong).

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
    -X POST "$SOAK_WEB_URL/api/restart" >"$LAB/$key.restart" || true
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
