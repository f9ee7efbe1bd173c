#!/usr/bin/env bash
# The edge's host as a gateway: the MSS clamp (the LAN drops "fragmentation needed") and the
# watcher restoring it, the overlay kept off the edge unless overlayCanReachEdge; SIGPIPE, a second
# instance, SIGTERM and a web restart, each leaving firewall, routes and links as they were.

source "$(dirname "$0")/../../scripts/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
# Not the factory password, with which the page answers nothing but a password change.
edge_lab_write_config "$config" '[]' '"webPassword": "gateway-pw"'
EDGE_LAN=192.168.50.1
CLAMP="-p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360"

edge_rules() { edge_lab_edge iptables-save | grep -cE 'larkspire0|-s 10\.250\.0\.0/16'; }
reaches_edge() { edge_lab_hub nc -z -w 2 "$EDGE_LAN" 5003; }
restored() { grep -c "WARN Gateway rule restored: iptables FORWARD -[io] larkspire0 $CLAMP." "$LAB/health.out"; }
restored_twice() { [ "$(restored)" = 2 ]; }

# from_lan SECONDS: $LAB/big from the LAN host to the hub side. Sets RECEIVED and CONNECTED.
from_lan() {
  local port=$((5100 + RANDOM % 100)) server
  ip netns exec "$LAN_NS" timeout "$1" nc -n -v -N -l "$EDGE_LAB_LAN_HOST" "$port" <"$LAB/big" \
    2>"$LAB/from_lan.err" &
  server=$!
  LAB_PIDS+=("$server")
  lab_wait_for 5 edge_lab_lan bash -c "ss -ltn | grep -q ':$port '" || lab_fail "nc did not listen"
  edge_lab_hub timeout "$1" nc -d "$EDGE_LAB_LAN_HOST" "$port" >"$LAB/big.received" || true
  wait "$server" 2>/dev/null || true
  CONNECTED=$(grep -c "Connection received" "$LAB/from_lan.err" || true)
  RECEIVED=$(stat -c %s "$LAB/big.received")
}

edge_lab_edge iptables -A INPUT -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
before=$(edge_lab_snapshot)
edge_lab_lan iptables -A INPUT -p icmp --icmp-type fragmentation-needed -j DROP
ip netns exec "$EDGE_NS" nc -k -l "$EDGE_LAN" 5003 >/dev/null </dev/null &
LAB_PIDS+=("$!")
head -c 20000000 /dev/urandom >"$LAB/big"

edge_lab_start_devhub --no-udp
# The hub-side client's SYNs ask for 1460-byte segments.
edge_lab_hub ip link set dev "$(edge_lab_hub ip -o route get 192.168.50.1 | awk '{print $3}')" mtu 1500
edge_lab_start_relaying health "$config"
kill -PIPE "$EDGE_PID"
sleep 0.5
kill -0 "$EDGE_PID" || lab_fail "SIGPIPE ended the edge"

echo "--- without the MSS clamp a transfer from the LAN stalls"
# shellcheck disable=SC2086
edge_lab_edge iptables -D FORWARD -i larkspire0 $CLAMP && edge_lab_edge iptables -D FORWARD -o larkspire0 $CLAMP ||
  lab_fail "the MSS clamp is not in place (does the kernel have xt_TCPMSS?)"
clampDeleted=$SECONDS
from_lan 6
echo "received $RECEIVED of 20000000 bytes in 6 s"
[ "$CONNECTED" = 1 ] || lab_fail "no TCP connection from the hub side to the LAN host"
[ "$RECEIVED" -lt 20000000 ] || lab_fail "the transfer completed without the MSS clamp"
[ "$(restored)" = 0 ] || lab_fail "the watcher ran during the stall test: too slow a machine for this scenario"

echo "--- the watcher restores it within its interval, and the same transfer completes"
lab_wait_for $((clampDeleted + 35 - SECONDS)) restored_twice ||
  lab_fail "the clamp was not restored within the watcher's 30 s: $(grep restored "$LAB/health.out")"
from_lan 60
cmp -s "$LAB/big" "$LAB/big.received" || lab_fail "the transfer from the LAN got $RECEIVED bytes"

echo "--- the edge's own services are closed to the overlay; its ping answers"
edge_lab_hub ping -c 1 -W 2 "$EDGE_LAN" >/dev/null || lab_fail "the edge's address does not answer ping"
! reaches_edge || lab_fail "the overlay opened a connection to the edge's own listener"

echo "--- a second instance, then SIGTERM"
first=$EDGE_PID
edge_lab_start_edge second "$config"
edge_lab_wait_exit "$EDGE_PID" 30 1 "the second instance"
grep -qF "ERROR TUNSETIFF failed: " "$LAB/second.out" || lab_fail "no TUNSETIFF error"
edge_lab_wait_tunnel 10
[ "$(edge_rules)" = 7 ] || lab_fail "the second instance changed the rules: $(edge_lab_edge iptables-save)"
edge_lab_stop_edge "$first"
! grep -F "ERROR" "$LAB/health.out" || lab_fail "a clean stop logged an error"
edge_lab_snapshot "$before" "after SIGTERM"

echo "--- overlayCanReachEdge; a restart from the web page"
sed -i 's/"overlayCanReachEdge": false/"overlayCanReachEdge": true/' "$config"
edge_lab_start_relaying open "$config"
reaches_edge || lab_fail "overlayCanReachEdge is set, yet the edge's listener is unreachable"
edge_lab_web /api/login -o /dev/null -H 'Content-Type: application/json' \
  --data '{"username":"admin","password":"gateway-pw"}'
edge_lab_web /api/restart -X POST -H 'Content-Type: application/json' >/dev/null || true
edge_lab_wait_exit "$EDGE_PID" 20 0 "the edge restarted from the web page"
edge_lab_snapshot "$before" "after a restart from the web page"

echo "PASS ($SECONDS s)"
