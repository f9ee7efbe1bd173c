#!/usr/bin/env bash
# The edge's host as a gateway, and as it is left: the rules and route; the MSS clamp that lets
# a LAN host dropping ICMP "fragmentation needed" send through the 1400-byte tunnel; health;
# the watcher restoring deleted rules; the overlay kept off the edge's own services unless
# overlayCanReachEdge. SIGPIPE stops nothing; after SIGKILL a new start reuses the rules; a
# second instance fails on the TUN device; SIGTERM, a restart from the web page and SIGINT with
# the console gone each leave firewall (the operator's rules included), routes and links as
# they were.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
# Not the factory password, with which the page answers nothing but a password change.
edge_lab_write_config "$config" '[]' '"webPassword": "gateway-pw"'
EDGE_LAN=192.168.50.1
MASQUERADE="-t nat POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE"
CLAMP_IN="FORWARD -i larkspire0 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360"
CLAMP_OUT="FORWARD -o larkspire0 -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360"
WATCH_INTERVAL=30

login() {
  edge_lab_web /api/login -o /dev/null -H 'Content-Type: application/json' \
    --data '{"username":"admin","password":"gateway-pw"}'
}
edge_rules() { edge_lab_edge iptables-save | grep -cE 'larkspire0|-s 10\.250\.0\.0/16'; }
# reports KIND SUBJECT true|false: the health reply in $reply has that line with that "ok".
reports() { grep -q "{\"kind\":\"$1\",\"subject\":\"$2\",[^}]*\"ok\":$3" <<<"$reply"; }
reaches_edge() { edge_lab_hub nc -z -w 2 "$EDGE_LAN" 5003; }

# from_lan SECONDS: $LAB/big from the LAN host to a hub-side client, for at most SECONDS. Sets
# RECEIVED and CONNECTED (1 when the LAN host accepted the connection).
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

# The operator's own rules.
edge_lab_edge iptables -A INPUT -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
before=$(edge_lab_snapshot)
edge_lab_lan iptables -A INPUT -p icmp --icmp-type fragmentation-needed -j DROP
ip netns exec "$EDGE_NS" nc -k -l "$EDGE_LAN" 5003 >/dev/null </dev/null &
LAB_PIDS+=("$!")
head -c 20000000 /dev/urandom >"$LAB/big"

edge_lab_start_devhub --no-udp
# The hub-side client's SYNs ask for 1460-byte segments.
hubTun=$(edge_lab_hub ip -4 -o addr show | awk -v a="$EDGE_LAB_OVERLAY_CLIENT/" 'index($4, a) == 1 {print $2}')
edge_lab_hub ip link set dev "$hubTun" mtu 1500
edge_lab_start_relaying health "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "expected 7 edge rules: $(edge_lab_edge iptables-save)"
grep -q "10.250.0.0/16 dev larkspire0" <<<"$(edge_lab_edge ip route)" || lab_fail "no overlay route"
for rule in "$CLAMP_IN" "$CLAMP_OUT"; do
  # shellcheck disable=SC2086
  edge_lab_edge iptables -C $rule 2>/dev/null ||
    lab_fail "the MSS clamp is not in place (does the kernel have xt_TCPMSS?)"
done
kill -PIPE "$EDGE_PID"
sleep 0.5
kill -0 "$EDGE_PID" || lab_fail "SIGPIPE ended the edge"

echo "--- without the MSS clamp a transfer from the LAN stalls"
# Before the watcher's first check, which would put the clamp back.
# shellcheck disable=SC2086
edge_lab_edge iptables -D $CLAMP_IN && edge_lab_edge iptables -D $CLAMP_OUT
clampDeleted=$SECONDS
from_lan 6
echo "received $RECEIVED of 20000000 bytes in 6 s"
[ "$CONNECTED" = 1 ] || lab_fail "no TCP connection from the hub side to the LAN host"
[ "$RECEIVED" -lt 20000000 ] || lab_fail "the transfer completed without the MSS clamp"
! _edge_lab_log_has health "Gateway rule restored" ||
  lab_fail "the watcher ran during the stall test: too slow a machine for this scenario"

echo "--- health"
login
edge_lab_edge sysctl -qw net.ipv4.ip_forward=0
edge_lab_edge sysctl -qw net.ipv4.conf.all.rp_filter=1
reply=$(edge_lab_web /api/health)
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
for deleted in "$clampDeleted $CLAMP_IN" "$clampDeleted $CLAMP_OUT" "$masqueradeDeleted $MASQUERADE"; do
  edge_lab_wait_log health $((${deleted%% *} + WATCH_INTERVAL + 5 - SECONDS)) \
    "WARN Gateway rule restored: iptables ${deleted#* }."
done
[ "$(grep -c "Gateway rule restored" "$(edge_lab_log_file health)")" = 3 ] &&
  [ "$(edge_lab_metric larkspire_edge_gateway_rules_restored_total)" = 3 ] ||
  lab_fail "not 3 restores logged and counted: $(edge_lab_metric larkspire_edge_gateway_rules_restored_total)"
edge_lab_web /api/health | grep -q '"healthy":true,"applied":true' ||
  lab_fail "not healthy after the restore: $(edge_lab_web /api/health)"

echo "--- with the MSS clamp the same transfer completes"
from_lan 60
cmp -s "$LAB/big" "$LAB/big.received" || lab_fail "the transfer from the LAN got $RECEIVED bytes"

echo "--- the edge's own services are closed to the overlay; its ping answers"
edge_lab_hub ping -c 1 -W 2 "$EDGE_LAN" >/dev/null || lab_fail "the edge's address does not answer ping"
! reaches_edge || lab_fail "the overlay opened a connection to the edge's own listener"

echo "--- SIGKILL, a new start without duplicates, a second instance, SIGTERM"
kill -KILL "$EDGE_PID"
edge_lab_wait_exit "$EDGE_PID" 10
[ "$(edge_rules)" = 7 ] || lab_fail "expected the 7 rules left behind"
edge_lab_start_relaying again "$config"
[ "$(edge_rules)" = 7 ] || lab_fail "a restart after SIGKILL stacked rules: $(edge_lab_edge iptables-save)"
first=$EDGE_PID
edge_lab_start_edge second "$config"
edge_lab_expect_exit "$EDGE_PID" 30 1 "the second instance"
grep -qF "ERROR TUNSETIFF failed: " "$LAB/second.out" || lab_fail "no TUNSETIFF error"
edge_lab_wait_tunnel 10
[ "$(edge_rules)" = 7 ] || lab_fail "the second instance changed the rules"
edge_lab_stop_edge "$first"
! grep -F "ERROR" "$LAB/again.out" || lab_fail "a clean stop logged an error"
grep -qF "INFO LarkSpire Edge Linux stopped." "$LAB/again.out" || lab_fail "no stop line"
edge_lab_expect_snapshot "$before" "after SIGTERM"

echo "--- overlayCanReachEdge; a restart from the web page"
sed -i 's/"overlayCanReachEdge": false/"overlayCanReachEdge": true/' "$config"
edge_lab_start_relaying open "$config"
reaches_edge || lab_fail "overlayCanReachEdge is set, yet the edge's listener is unreachable"
login
edge_lab_web /api/restart -X POST -H 'Content-Type: application/json' >/dev/null || true
edge_lab_expect_exit "$EDGE_PID" 20 0 "the edge restarted from the web page"
edge_lab_expect_snapshot "$before" "after a restart from the web page"

echo "--- SIGINT with the console's reader gone"
( ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c \
    "$(edge_lab_prelude closed); exec '$LARKSPIRE_EDGE' --config '$config' --workdir '$LAB/work-closed'" |
    true ) &
LAB_PIDS+=("$!")
edge_lab_wait_log closed 20 "INFO Linux forwarding and NAT rules applied for"
# Same file, not same path: a guest may show the binary under another mount. `if`, not `&&`:
# a last process that is not the edge must not fail the loop (pipefail).
edgePid=$(ip netns pids "$EDGE_NS" | while read -r pid; do
  if [ "/proc/$pid/exe" -ef "$LARKSPIRE_EDGE" ]; then echo "$pid"; fi
done | head -n 1)
[ -n "$edgePid" ] || lab_fail "cannot find the edge's process"
kill -INT "$edgePid"
lab_wait_for 15 bash -c "! kill -0 $edgePid 2>/dev/null" || lab_fail "the edge did not stop"
edge_lab_wait_log closed 1 "INFO LarkSpire Edge Linux stopped."
edge_lab_expect_snapshot "$before" "after SIGINT"
echo "PASS ($SECONDS s)"
