#!/usr/bin/env bash
# The operator's views of a running gateway in the lab: /metrics counts the traffic of a ping
# through the tunnel; /api/health is all green, then reports forwarding switched off, strict
# reverse-path filtering and a rule deleted by hand; the log warns once about the rule.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
# A password of its own: with the factory one the page answers nothing but a password change.
sed -i 's/^{$/{\n  "webPassword": "health-check-pw",/' "$config"
WEB=http://127.0.0.1:18080
RULE="FORWARD -i larkspire0 -o eth0 -j ACCEPT"

web() { edge_lab_edge curl -s --max-time 10 -b "$LAB/cookies" -c "$LAB/cookies" "$@"; }

# metric NAME_AND_LABELS: the value of one sample of /metrics.
metric() {
  web "$WEB/metrics" | awk -v key="$1" '$1 == key {print $2}'
}

# check KIND SUBJECT: "ok" or "bad" for one line of the health reply.
check() {
  web "$WEB/api/health" | grep -o "{\"kind\":\"$1\",\"subject\":\"$2\",[^}]*}" |
    sed -n 's/.*"ok":true.*/ok/p; s/.*"ok":false.*/bad/p'
}

edge_lab_start_devhub --no-udp
edge_lab_start_relaying health "$config"
lab_wait_for 10 web -o /dev/null "$WEB/metrics" || lab_fail "the web server does not answer"

echo "--- metrics rise with traffic"
scrape=$(web "$WEB/metrics")
grep -q '^# TYPE larkspire_edge_relay_packets_total counter$' <<<"$scrape" ||
  lab_fail "no packet counter in: $scrape"
[ "$(metric 'larkspire_edge_relay_channel_up{channel="websocket"}')" = 1 ] ||
  lab_fail "the WebSocket channel is not reported up"
to=$(metric 'larkspire_edge_relay_packets_total{channel="websocket",direction="to_hub"}')
from=$(metric 'larkspire_edge_relay_packets_total{channel="websocket",direction="from_hub"}')
edge_lab_ping 10 >/dev/null || lab_fail "ping through the tunnel failed"
to2=$(metric 'larkspire_edge_relay_packets_total{channel="websocket",direction="to_hub"}')
from2=$(metric 'larkspire_edge_relay_packets_total{channel="websocket",direction="from_hub"}')
echo "WebSocket packets to the Hub $to -> $to2, from the Hub $from -> $from2"
[ "$to2" -ge $((to + 3)) ] && [ "$from2" -ge $((from + 3)) ] ||
  lab_fail "three pings did not count three packets each way"
[ "$(metric 'larkspire_edge_heartbeats_total{result="accepted"}')" -ge 1 ] ||
  lab_fail "the start-up heartbeat was not counted"

echo "--- health"
[ "$(web -o /dev/null -w '%{http_code}' "$WEB/api/health")" = 401 ] ||
  lab_fail "the health reply needs a login"
web -o /dev/null -H 'Content-Type: application/json' \
  --data '{"username":"admin","password":"health-check-pw"}' "$WEB/api/login"
web "$WEB/api/health" | grep -q '"healthy":true,"applied":true' ||
  lab_fail "a fresh gateway is not healthy: $(web "$WEB/api/health")"

edge_lab_edge sysctl -qw net.ipv4.ip_forward=0
edge_lab_edge sysctl -qw net.ipv4.conf.all.rp_filter=1
edge_lab_edge iptables -D $RULE
reply=$(web "$WEB/api/health")
grep -q '"healthy":false' <<<"$reply" || lab_fail "faults not reported: $reply"
[ "$(check ipForward '')" = bad ] || lab_fail "forwarding off not reported: $reply"
[ "$(check rpFilter all)" = bad ] || lab_fail "strict rp_filter not reported: $reply"
[ "$(check rule "$RULE")" = bad ] || lab_fail "the deleted rule not reported: $reply"
[ "$(check rule "-t nat POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE")" = ok ] ||
  lab_fail "an intact rule is reported missing: $reply"

echo "--- the watcher warns once per disappearance"
edge_lab_wait_log health 40 "WARN Gateway rule missing: iptables $RULE."
edge_lab_edge iptables -A $RULE
edge_lab_wait_log health 40 "INFO Gateway rule present again: iptables $RULE"
count=$(grep -c "Gateway rule missing" "$(edge_lab_log_file health)")
[ "$count" = 1 ] || lab_fail "the missing rule was logged $count times"
edge_lab_edge sysctl -qw net.ipv4.ip_forward=1
edge_lab_edge sysctl -qw net.ipv4.conf.all.rp_filter=0
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
