#!/usr/bin/env bash
# The gateway's firewall in the lab, as an operator and an attacker on the overlay see it:
# - without its MSS clamp a 20 MB TCP transfer from a LAN host that drops ICMP "fragmentation
#   needed" to a hub-side client at MTU 1500 stalls in the 1400-byte tunnel; with it, the same
#   transfer completes intact;
# - /api/health reports forwarding switched off, strict reverse-path filtering and the rules
#   deleted by hand;
# - the rule watcher puts deleted rules (the MASQUERADE rule among them) back within its
#   30-second interval, with one log line each and the restore counter in /metrics;
# - the overlay cannot open a connection to the edge machine itself, but its ping answers;
#   with overlayCanReachEdge it can;
# - after SIGTERM, iptables-save (all tables) is exactly as before the start.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
# A password of its own: with the factory one the page answers nothing but a password change.
sed -i 's/^{$/{\n  "webPassword": "health-check-pw",/' "$config"
WEB=http://127.0.0.1:18080
EDGE_LAN=192.168.50.1
MASQUERADE="-t nat POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE"
CLAMP_IN="FORWARD -i larkspire0 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360"
CLAMP_OUT="FORWARD -o larkspire0 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360"
WATCH_INTERVAL=30

# Each health reply runs a check per rule, which an emulated machine makes slow.
REPLY_TIME=$((10 * ${LAB_TIME_FACTOR:-1}))
web() { edge_lab_edge curl -s --max-time $REPLY_TIME -b "$LAB/cookies" -c "$LAB/cookies" "$@"; }

# metric NAME_AND_LABELS: the value of one sample of /metrics.
metric() {
  web "$WEB/metrics" | awk -v key="$1" '$1 == key {print $2}'
}

# reports KIND SUBJECT true|false: the health reply in $reply has that line with that "ok".
reports() { grep -q "{\"kind\":\"$1\",\"subject\":\"$2\",[^}]*\"ok\":$3" <<<"$reply"; }

# from_lan SECONDS: sends $LAB/big from the LAN host to a client on the hub side, giving up
# after SECONDS. Sets RECEIVED (bytes that arrived) and CONNECTED (1 when the LAN host held
# the connection open while the client still waited for data).
from_lan() {
  local port=$((5100 + RANDOM % 100)) server client
  ip netns exec "$LAN_NS" timeout "$1" nc -N -l "$EDGE_LAB_LAN_HOST" "$port" <"$LAB/big" &
  server=$!
  LAB_PIDS+=("$server")
  lab_wait_for 5 edge_lab_lan bash -c "ss -ltn | grep -q ':$port '" || lab_fail "nc did not listen"
  ip netns exec "$HUB_NS" timeout "$1" nc -d "$EDGE_LAB_LAN_HOST" "$port" >"$LAB/big.received" &
  client=$!
  LAB_PIDS+=("$client")
  CONNECTED=0
  lab_wait_for 5 bash -c "! kill -0 $client 2>/dev/null || ip netns exec $LAN_NS ss -Htn state established '( sport = :$port )' | grep -q ." &&
    kill -0 "$client" 2>/dev/null && CONNECTED=1
  wait "$client" "$server" 2>/dev/null || true
  RECEIVED=$(stat -c %s "$LAB/big.received")
}

# reaches_edge: whether a TCP connection from the hub side to the edge's own listener opens.
reaches_edge() { edge_lab_hub nc -z -w 2 "$EDGE_LAN" 5003; }

# The host's own firewall, which the edge must leave as it found it.
edge_lab_edge iptables -A INPUT -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
firewallBefore=$(edge_lab_firewall)
# A LAN host whose firewall drops "fragmentation needed", so path-MTU discovery cannot help it.
edge_lab_lan iptables -A INPUT -p icmp --icmp-type fragmentation-needed -j DROP
# A service of the edge machine itself, on its LAN address.
ip netns exec "$EDGE_NS" nc -k -l "$EDGE_LAN" 5003 >/dev/null </dev/null &
LAB_PIDS+=("$!")
head -c 20000000 /dev/urandom >"$LAB/big"

edge_lab_start_devhub --no-udp
# The hub-side client's own MTU is 1500, so its SYNs ask for 1460-byte segments.
hubTun=$(edge_lab_hub ip -4 -o addr show | awk -v a="$EDGE_LAB_OVERLAY_CLIENT/" 'index($4, a) == 1 {print $2}')
edge_lab_hub ip link set dev "$hubTun" mtu 1500
edge_lab_start_relaying health "$config"
for rule in "$CLAMP_IN" "$CLAMP_OUT"; do
  # shellcheck disable=SC2086
  edge_lab_edge iptables -C $rule 2>/dev/null ||
    lab_fail "the MSS clamp is not in place (does the kernel have xt_TCPMSS?): $(edge_lab_firewall)"
done

echo "--- without the MSS clamp a transfer from the LAN stalls"
# Before the watcher's first check, which would put the clamp back.
# shellcheck disable=SC2086
edge_lab_edge iptables -D $CLAMP_IN
# shellcheck disable=SC2086
edge_lab_edge iptables -D $CLAMP_OUT
clampDeleted=$SECONDS
from_lan 6
echo "received $RECEIVED of 20000000 bytes in 6 s"
[ "$CONNECTED" = 1 ] || lab_fail "no TCP connection from the hub side to the LAN host"
[ "$RECEIVED" -lt 20000000 ] || lab_fail "the transfer completed without the MSS clamp"
! grep -q "Gateway rule restored" "$(edge_lab_log_file health)" ||
  lab_fail "the watcher ran during the stall test: too slow a machine for this scenario"

echo "--- health"
web -o /dev/null -H 'Content-Type: application/json' \
  --data '{"username":"admin","password":"health-check-pw"}' "$WEB/api/login"
edge_lab_edge sysctl -qw net.ipv4.ip_forward=0
edge_lab_edge sysctl -qw net.ipv4.conf.all.rp_filter=1
reply=$(web "$WEB/api/health")
edge_lab_edge sysctl -qw net.ipv4.ip_forward=1
edge_lab_edge sysctl -qw net.ipv4.conf.all.rp_filter=0
# On a slow machine the watcher may have put the clamp back already.
grep -q '"healthy":false,"applied":true' <<<"$reply" && reports ipForward "" false &&
  reports rpFilter all false && reports rule "$MASQUERADE" true &&
  { reports rule "$CLAMP_IN" false || _edge_lab_log_has health "restored: iptables $CLAMP_IN."; } ||
  lab_fail "forwarding off, strict rp_filter, a missing and an intact rule not reported: $reply"

echo "--- the watcher restores deleted rules within its interval"
edge_lab_edge iptables -t nat -D POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE
masqueradeDeleted=$SECONDS
# back_within DELETED RULE: the rule deleted at DELETED (in $SECONDS) is back within the
# interval and the few seconds a check takes.
back_within() {
  edge_lab_wait_log health $(($1 + WATCH_INTERVAL + 5 - SECONDS)) \
    "WARN Gateway rule restored: iptables $2."
}
back_within $clampDeleted "$CLAMP_IN"
back_within $clampDeleted "$CLAMP_OUT"
back_within $masqueradeDeleted "$MASQUERADE"
for rule in "$MASQUERADE" "$CLAMP_IN"; do
  count=$(grep -cF "Gateway rule restored: iptables $rule." "$(edge_lab_log_file health)")
  [ "$count" = 1 ] || lab_fail "'$rule' was restored $count times"
done
[ "$(metric larkspire_edge_gateway_rules_restored_total)" = 3 ] ||
  lab_fail "restore counter: $(metric larkspire_edge_gateway_rules_restored_total), not 3"
web "$WEB/api/health" | grep -q '"healthy":true,"applied":true' ||
  lab_fail "not healthy after the restore: $(web "$WEB/api/health")"

echo "--- with the MSS clamp the same transfer completes"
begun=$SECONDS
from_lan 60
[ "$RECEIVED" = 20000000 ] || lab_fail "the transfer from the LAN did not complete: $RECEIVED bytes"
cmp -s "$LAB/big" "$LAB/big.received" || lab_fail "the transfer arrived changed"
echo "20000000 bytes in $((SECONDS - begun)) s"

echo "--- the edge's own services are closed to the overlay; its ping answers"
edge_lab_hub ping -c 1 -W 2 "$EDGE_LAN" >/dev/null || lab_fail "the edge's address does not answer ping"
! reaches_edge || lab_fail "the overlay opened a connection to the edge's own listener"

edge_lab_stop_edge "$EDGE_PID"
[ "$(edge_lab_firewall)" = "$firewallBefore" ] || lab_fail "firewall differs after SIGTERM:
$(diff <(echo "$firewallBefore") <(edge_lab_firewall))"

echo "--- overlayCanReachEdge opens them"
sed -i 's/"overlayCanReachEdge": false/"overlayCanReachEdge": true/' "$config"
grep -q '"overlayCanReachEdge": true' "$config" || lab_fail "cannot set overlayCanReachEdge in $config"
edge_lab_start_relaying open "$config"
reaches_edge || lab_fail "overlayCanReachEdge is set, yet the edge's listener is unreachable"
edge_lab_stop_edge "$EDGE_PID"
[ "$(edge_lab_firewall)" = "$firewallBefore" ] || lab_fail "firewall differs after the second run:
$(diff <(echo "$firewallBefore") <(edge_lab_firewall))"
echo "PASS ($SECONDS s)"
