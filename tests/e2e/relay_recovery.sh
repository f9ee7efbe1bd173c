#!/usr/bin/env bash
# The Hub goes away and comes back: the edge keeps running, records the failed heartbeat,
# retries the relay every 3 seconds and, once the Hub is back, reconnects with a new
# handshake and a new UDP channel, and traffic flows again.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_devhub
edge_lab_start_relaying edge "$config"
lab_wait_for 10 test -n "$(edge_lab_channel_id)" || lab_fail "no UDP channel: $(edge_lab_devices)"
firstChannel=$(edge_lab_channel_id)

echo "--- Hub killed"
edge_lab_stop_devhub KILL
# The next periodic heartbeat comes at most 30 s after the last one.
edge_lab_wait_output edge 45 "WARN Heartbeat failed: TCP connect failed to $EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT: "
kill -0 "$EDGE_PID" || lab_fail "the edge ended when the Hub went away"
grep -qF "\"message\": \"TCP connect failed to $EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT: Connection refused\"" <<<"$(edge_lab_state edge)" ||
  lab_fail "the state file does not hold the bare connection error: $(edge_lab_state edge)"
grep -qF '"heartbeatAccepted": false' <<<"$(edge_lab_state edge)" || lab_fail "state still accepted"
grep -qF "WARN Relay loop failed: " <<<"$(edge_lab_output edge)" || lab_fail "no relay retry logged"

echo "--- Hub back"
attempts=$(grep -c "Relay loop failed: " "$LAB/edge.out")
handshakesBefore=$(grep -c "Relay connected: device " "$LAB/devhub.out")
backAt=$SECONDS
edge_lab_start_devhub
edge_lab_wait_tunnel 20
echo "relay attempts while the Hub was down: $attempts; traffic again $((SECONDS - backAt)) s after the Hub came back"
[ "$(grep -c "Relay connected: device " "$LAB/devhub.out")" -gt "$handshakesBefore" ] ||
  lab_fail "no new relay handshake after the restart"
lab_wait_for 10 test -n "$(edge_lab_channel_id)" || lab_fail "no UDP channel after the restart"
secondChannel=$(edge_lab_channel_id)
[ "$secondChannel" != "$firstChannel" ] ||
  lab_fail "the UDP channel identifier did not change ($firstChannel)"
[ "$(edge_lab_counter webSocket packetsFromEdge)" -gt 0 ] || lab_fail "no traffic after restart"
edge_lab_tcp_transfer 500000
edge_lab_stop_edge "$EDGE_PID"

echo "PASS"
