#!/usr/bin/env bash
# However the edge ends, the host's firewall, routes and interfaces are left as they were
# (the operator's own rules included): SIGTERM once running (status 0, the stop line, a
# SIGPIPE before it ignored), SIGINT, SIGTERM while the Hub is frozen with the send buffers
# full, a restart asked for on the web page and an installed forced update. A SIGKILL leaves
# the rules and the next start reuses them; a second instance fails on the TUN device with
# status 1 and leaves the first one's rules alone; a console whose reader is gone stops
# nothing.

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
edge_lab_edge iptables -A FORWARD -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
before=$(soak_snapshot)
config=$LAB/edge.json
soak_write_config "$config"
edge_lab_start_devhub

# The edge keeps 7 rules for its one uplink: the input guard and the MSS clamp on
# larkspire0, two forward rules and the masquerade.
edge_rules() { soak_edge_rules | wc -l; }
same_as_before() { soak_same_as "$before" || lab_fail "the host differs after $1 (above)"; }

echo "--- SIGTERM once running"
edge_lab_start_relaying term "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "expected 7 edge rules while running: $(edge_lab_firewall)"
grep -q "10.250.0.0/16 dev larkspire0" <<<"$(edge_lab_routes)" || lab_fail "no overlay route"
log=$(edge_lab_log_file term)
[[ "$log" =~ ^$LAB/work-term/Log/([0-9]{6})/([0-9]{6})[0-9]{2}_[0-9]{6}\.log$ ]] &&
  [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] || lab_fail "unexpected log file path $log"
[ "$(head -c 3 "$log" | od -An -tx1 | tr -d ' ')" = efbbbf ] || lab_fail "log lacks its byte-order mark"
kill -PIPE "$EDGE_PID"
sleep 0.5
kill -0 "$EDGE_PID" || lab_fail "SIGPIPE ended the edge"
kill -TERM "$EDGE_PID"
edge_lab_expect_exit "$EDGE_PID" 15 0 "the edge stopped by SIGTERM"
edge_lab_expect_in_order "$log" "INFO Linux forwarding and NAT rules applied for" \
  "INFO LarkSpire Edge Linux stopped."
! grep -F "ERROR" "$log" || lab_fail "a clean stop logged an error"
same_as_before SIGTERM

echo "--- SIGKILL, a new start without duplicates, a second instance, then SIGINT"
edge_lab_start_relaying kill "$config"
kill -KILL "$EDGE_PID"
edge_lab_wait_exit "$EDGE_PID" 10
[ "$(edge_rules)" = 7 ] || lab_fail "expected the 7 rules left behind: $(edge_lab_firewall)"
edge_lab_start_relaying again "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "a restart after SIGKILL stacked rules: $(edge_lab_firewall)"
firstPid=$EDGE_PID
cp "$config" "$LAB/second.json"
edge_lab_start_edge second "$LAB/second.json"
edge_lab_expect_exit "$EDGE_PID" 30 1 "the second instance"
grep -qF "ERROR TUNSETIFF failed: " <<<"$(edge_lab_output second)" ||
  lab_fail "no TUNSETIFF error: $(edge_lab_output second)"
edge_lab_ping 10 || lab_fail "the first instance stopped relaying"
[ "$(edge_rules)" = 7 ] || lab_fail "the second instance changed the rules: $(edge_lab_firewall)"
kill -INT "$firstPid"
edge_lab_expect_exit "$firstPid" 15 0 "the edge stopped by SIGINT"
same_as_before SIGINT

check() {
  local name=$1 fn=$2
  echo "--- $name"
  SOAK_EXIT_NOTE=
  "$fn" "$(tr ' ' - <<<"$name")" "$config" "$before" ||
    lab_fail "$name: $SOAK_EXIT_NOTE; edge output:
$(cat "$LAB/$(tr ' ' - <<<"$name").out" 2>/dev/null)"
}
check "sigterm frozen hub" soak_exit_sigterm_frozen_hub
check "web restart" soak_exit_web_restart
check "forced update" soak_exit_forced_update

echo "--- a console that went away"
# The edge's standard output is a pipe whose reader has already exited.
prelude=$(lab_edge_prelude closed eth0)
mkdir -p "$LAB/work-closed"
( ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c \
    "$prelude; exec '$LARKSPIRE_EDGE' --config '$config' --workdir '$LAB/work-closed'" |
    true ) &
pipeline=$!
LAB_PIDS+=("$pipeline")
edge_lab_wait_log closed 20 "INFO Linux forwarding and NAT rules applied for"
# `if`, not `&&`: a last process that is not the edge must not fail the loop (pipefail).
edgePid=$(ip netns pids "$EDGE_NS" | while read -r pid; do
  # Same file, not same path: a guest may show the binary under another mount.
  if [ "/proc/$pid/exe" -ef "$LARKSPIRE_EDGE" ]; then echo "$pid"; fi
done | head -n 1)
[ -n "$edgePid" ] || lab_fail "cannot find the edge's process"
kill -TERM "$edgePid"
lab_wait_for 15 bash -c "! kill -0 $edgePid 2>/dev/null" || lab_fail "the edge did not stop"
wait "$pipeline" || true
grep -qF "INFO LarkSpire Edge Linux stopped." "$(edge_lab_log_file closed)" ||
  lab_fail "no stop line in the log of the edge without a console"
same_as_before "the console went away"

echo "PASS"
