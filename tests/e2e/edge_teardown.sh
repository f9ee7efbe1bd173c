#!/usr/bin/env bash
# The firewall and routes of the edge's host: a SIGTERM leaves them exactly as they were
# (the operator's own rules included) and removes larkspire0; a SIGKILL leaves the rules,
# and the next start reuses them instead of adding duplicates; a second instance on the same
# host fails on the TUN device with status 1.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
# Rules of the host's own, which the edge must neither remove nor reorder.
edge_lab_edge iptables -A FORWARD -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
firewallBefore=$(edge_lab_firewall)
routesBefore=$(edge_lab_routes)

config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_devhub

# edge_rules: how many of the edge's rules are in place; it keeps 7 for its one uplink (the
# input guard and the MSS clamp on larkspire0, two forward rules and the masquerade).
edge_rules() { edge_lab_firewall | grep -cE 'larkspire0|-s 10.250.0.0/16' || true; }

echo "--- SIGTERM restores the firewall and the routes"
edge_lab_start_relaying term "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "expected 7 edge rules while running: $(edge_lab_firewall)"
grep -q "10.250.0.0/16 dev larkspire0" <<<"$(edge_lab_routes)" || lab_fail "no overlay route"
edge_lab_stop_edge "$EDGE_PID"
grep -qF "INFO LarkSpire Edge Linux stopped." <<<"$(edge_lab_output term)" || lab_fail "no stop line"
[ "$(edge_lab_firewall)" = "$firewallBefore" ] || lab_fail "firewall differs after SIGTERM:
$(diff <(echo "$firewallBefore") <(edge_lab_firewall))"
[ "$(edge_lab_routes)" = "$routesBefore" ] || lab_fail "routes differ after SIGTERM:
$(diff <(echo "$routesBefore") <(edge_lab_routes))"
if edge_lab_edge ip link show larkspire0 >/dev/null 2>&1; then
  lab_fail "larkspire0 is still there after SIGTERM"
fi

echo "--- SIGKILL, then a new start adds no duplicate rules"
edge_lab_start_relaying kill "$config"
kill -KILL "$EDGE_PID"
edge_lab_wait_exit "$EDGE_PID" 10
[ "$(edge_rules)" = 7 ] || lab_fail "expected the 7 rules left behind: $(edge_lab_firewall)"
edge_lab_start_relaying again "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "a restart after SIGKILL stacked rules: $(edge_lab_firewall)"
firstPid=$EDGE_PID

echo "--- a second instance fails on the TUN device"
cp "$config" "$LAB/second.json"
edge_lab_start_edge second "$LAB/second.json"
edge_lab_expect_exit "$EDGE_PID" 30 1 "the second instance"
grep -qF "ERROR TUNSETIFF failed: " <<<"$(edge_lab_output second)" ||
  lab_fail "no TUNSETIFF error: $(edge_lab_output second)"
kill -0 "$firstPid" || lab_fail "the first instance died with the second"
edge_lab_ping 10 || lab_fail "the first instance stopped relaying"
[ "$(edge_rules)" = 7 ] || lab_fail "the second instance changed the rules: $(edge_lab_firewall)"

edge_lab_stop_edge "$firstPid"
[ "$(edge_lab_firewall)" = "$firewallBefore" ] || lab_fail "firewall differs at the end:
$(diff <(echo "$firewallBefore") <(edge_lab_firewall))"
[ "$(edge_lab_routes)" = "$routesBefore" ] || lab_fail "routes differ at the end"

echo "PASS"
