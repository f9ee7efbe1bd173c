#!/usr/bin/env bash
# The Hub over TLS. An https devhub whose CA is in hubCaFile, with its key pinned, takes the
# edge's registration and heartbeat and relays a ping and a TCP transfer (compared byte for
# byte), all inside TLS: the UDP channel stays off. A certificate from no trusted CA, one for
# another host name and a key other than the pinned one each end the edge at registration
# with status 1 and their line, and leave no tunnel, rule, registration or configuration
# change behind.

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/tls.sh"
edge_lab_init
certs=$LAB/certs
tls_lab_ca "$certs"
tls_lab_server "$certs" hub DNS:hub.lab
tls_lab_server "$certs" other DNS:other.lab
tls_lab_server "$certs" rogue DNS:hub.lab self
EDGE_LAB_HUB_URL=https://hub.lab:$EDGE_LAB_PORT

# The listing over https, as the overlay's operator would fetch it.
edge_lab_devices() {
  edge_lab_hub curl -s --max-time 5 --cacert "$certs/ca.pem" \
    --resolve "hub.lab:$EDGE_LAB_PORT:$EDGE_LAB_HUB_ADDR" "$EDGE_LAB_HUB_URL/api/devices"
}

# start_edge KEY CONFIG: an edge whose /etc/hosts names the Hub hub.lab.
start_edge() {
  mkdir -p "$LAB/$1/etc.up"
  { cat /etc/hosts; echo "$EDGE_LAB_HUB_ADDR hub.lab"; } >"$LAB/$1/etc.up/hosts"
  edge_lab_start_edge "$1" "$2"
}

# write_config FILE PIN: a configuration for the https Hub with the lab CA and PIN.
write_config() {
  cat >"$1" <<JSON
{
  "serverUrl": "$EDGE_LAB_HUB_URL",
  "deviceName": "Lab Edge",
  "sharedNetworks": [],
  "hubCaFile": "$certs/ca.pem",
  "hubCertSha256": "$2"
}
JSON
}

devhub_with() {
  edge_lab_stop_devhub TERM
  edge_lab_start_devhub --tls-cert "$certs/$1.pem" --tls-key "$certs/$1.key"
}

echo "--- an https Hub with its CA in hubCaFile and its key pinned"
config=$LAB/edge.json
write_config "$config" "$(tls_lab_pin "$certs/hub.pem")"
edge_lab_start_devhub --tls-cert "$certs/hub.pem" --tls-key "$certs/hub.key"
start_edge good "$config"
edge_lab_wait_output good 20 "Linux forwarding and NAT rules applied for"
edge_lab_wait_tunnel 15
edge_lab_ping 10 || lab_fail "ping over the TLS relay failed"
edge_lab_tcp_transfer 3000000
grep -o "Hub link encrypted: .*" "$LAB/good.out"
edge_lab_expect_in_order "$(edge_lab_log_file good)" \
  "INFO Device registered: " "INFO Heartbeat accepted." "INFO Hub link encrypted: TLSv1." \
  "INFO WebSocket relay connected." "INFO UDP relay off: the Hub link is encrypted"
if grep -F -e "Hub link is not encrypted" -e "UDP relay connected" "$LAB/good.out"; then
  lab_fail "an https Hub was treated as a plain one"
fi
[ -z "$(edge_lab_channel_id)" ] || lab_fail "a UDP channel was granted over an https Hub link"
[ "$(edge_lab_counter webSocket packetsFromEdge)" -gt 0 ] || lab_fail "no relay counters"
edge_lab_stop_edge "$EDGE_PID"

# refused KEY CERT LINE [PIN]: against a devhub serving CERT, the edge (pinning PIN instead,
# when given) ends with status 1 and LINE, and nothing else changes.
refused() {
  devhub_with "$2"
  if [ -n "${4:-}" ]; then
    sed -i "s/\"hubCertSha256\": \"[0-9a-f]*\"/\"hubCertSha256\": \"$4\"/" "$config"
  fi
  local firewall configBefore
  firewall=$(edge_lab_firewall)
  configBefore=$(cat "$config")
  cp "$LAB/devhub.json" "$LAB/devhub.before"
  start_edge "$1" "$config"
  edge_lab_expect_exit "$EDGE_PID" 20 1 "the edge facing '$2'"
  grep -qF "ERROR $3" "$LAB/$1.out" || lab_fail "'$3' missing: $(edge_lab_output "$1")"
  ! edge_lab_edge ip link show larkspire0 >/dev/null 2>&1 || lab_fail "larkspire0 left behind"
  [ "$(edge_lab_firewall)" = "$firewall" ] || lab_fail "the firewall changed"
  [ "$(cat "$config")" = "$configBefore" ] || lab_fail "the configuration changed"
  cmp -s "$LAB/devhub.json" "$LAB/devhub.before" || lab_fail "the Hub heard from the edge"
}

echo "--- refused: a certificate from no trusted CA, another host's name, an unpinned key"
refused rogue rogue "Hub certificate not trusted: self-signed certificate"
refused other other "Hub certificate not trusted: hostname mismatch"
refused pinned hub "Hub certificate does not match the pinned key." \
  "$(tls_lab_pin "$certs/other.pem")"
echo "hub_tls: OK"
