#!/usr/bin/env bash
# Registration against the development Hub: the first start gets an identity and keeps it in
# the configuration (the only file that holds the secret: the logs show a masked form and are
# not world-readable), a second start keeps it, an operator's old network list survives as
# additional networks, and a Hub that refuses the device ends the edge with status 1.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
edge_lab_start_devhub

echo "--- first start registers and records the identity"
config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_edge first "$config"
edge_lab_wait_output first 20 "Linux forwarding and NAT rules applied for"
number=$(edge_lab_config_value "$config" deviceNumber)
secret=$(edge_lab_config_value "$config" deviceSecret)
[ -n "$number" ] && [ -n "$secret" ] || lab_fail "configuration lacks the identity: $(cat "$config")"
[ "$(stat -c %a "$config")" = 600 ] || lab_fail "configuration is not mode 0600"
masked="${secret:0:4}… (${#secret} chars)"
grep -qF '"message": "Heartbeat accepted."' <<<"$(edge_lab_state first)" ||
  lab_fail "state file does not say the heartbeat was accepted: $(edge_lab_state first)"
grep -qF '"heartbeatAccepted": true' <<<"$(edge_lab_state first)" || lab_fail "state not accepted"
grep -qF "\"$number\"" <<<"$(edge_lab_devices)" || lab_fail "devhub does not list $number: $(edge_lab_devices)"

edge_lab_expect_in_order "$(edge_lab_log_file first)" \
  "INFO LarkSpire Edge Linux starting. Log file: $LAB/work-first/Log/" \
  "INFO Config: $config" \
  "INFO Detected hardware interface: eth0 -> 192.168.50.0/24" \
  "INFO networkInterfaceName auto selected: eth0" \
  "INFO sharedNetworks effective: 192.168.50.0/24" \
  "INFO Edge serverUrl: $EDGE_LAB_HUB_URL" \
  "WARN Hub link is not encrypted (http); use an https Hub URL." \
  "INFO Edge deviceNumber before register: <empty>" \
  "INFO Edge deviceSecret before register: <empty>" \
  "INFO Edge networkInterfaceName: eth0" \
  "INFO Edge sharedNetworks: 192.168.50.0/24" \
  "INFO Device registered: $number" \
  "INFO Device secret: $masked" \
  "INFO Edge deviceNumber: $number" \
  "INFO Edge deviceSecret: $masked" \
  "INFO Edge sharedNetworks registered: 192.168.50.0/24" \
  "INFO Heartbeat accepted." \
  "INFO TUN device opened: larkspire0" \
  "INFO Linux forwarding and NAT rules applied for larkspire0 -> eth0"
if [ -n "$(grep -F "Detected hardware interface:" "$LAB/first.out" | grep -vF " eth0 ")" ]; then
  lab_fail "a virtual interface was taken for hardware: $(edge_lab_output first)"
fi

edge_lab_stop_edge "$EDGE_PID"
edge_lab_expect_in_order "$(edge_lab_log_file first)" "INFO LarkSpire Edge Linux stopped."

echo "--- a second start keeps the identity and rewrites nothing"
sleep 1  # a new second, so the second run gets a log file of its own
edge_lab_start_edge second "$config"
edge_lab_wait_output second 20 "Heartbeat accepted."
edge_lab_expect_in_order "$(edge_lab_log_file second)" \
  "INFO Edge deviceNumber before register: $number" \
  "INFO Edge deviceSecret before register: $masked" \
  "INFO Device registered: $number"
if grep -E "sharedNetworks effective|treated as additionalSharedNetworks" "$LAB/second.out"; then
  lab_fail "a second start with unchanged networks changed the shared networks"
fi
[ "$(edge_lab_config_value "$config" deviceNumber)" = "$number" ] || lab_fail "number changed"
edge_lab_stop_edge "$EDGE_PID"

log=$(edge_lab_log_file second)
[ "$(stat -c %a "$log") $(stat -c %a "$(dirname "$log")") $(stat -c %a "$LAB/work-second/Log")" = \
  "640 750 750" ] || lab_fail "log file and folders are not 0640, 0750, 0750"
# Everything both runs wrote (logs, state, console) but the configuration.
leaks=$(grep -rlF -e "$secret" "$LAB" --exclude="$(basename "$config")" --exclude=devhub.json \
  --exclude=devhub.out || true)
[ -z "$leaks" ] || lab_fail "the full device secret is in: $leaks"

echo "--- an operator's network moves to the additional networks"
operator=$LAB/operator.json
edge_lab_write_config "$operator" '["10.1.0.0/16"]'
edge_lab_start_edge operator "$operator"
edge_lab_wait_output operator 20 "Heartbeat accepted."
edge_lab_expect_in_order "$LAB/operator.out" \
  "INFO Existing sharedNetworks were treated as additionalSharedNetworks: 10.1.0.0/16" \
  "INFO sharedNetworks effective: 192.168.50.0/24, 10.1.0.0/16"
grep -qxF '  "sharedNetworks": ["192.168.50.0/24","10.1.0.0/16"],' "$operator" &&
  grep -qxF '  "additionalSharedNetworks": ["10.1.0.0/16"],' "$operator" ||
  lab_fail "configuration does not hold the merged lists: $(cat "$operator")"
edge_lab_stop_edge "$EDGE_PID"

echo "--- a Hub that refuses the registration ends the edge with status 1"
# The devhub refuses names longer than it stores; that is a refusal like any other.
refused=$LAB/refused.json
edge_lab_write_config "$refused"
longName=$(printf 'n%.0s' $(seq 300))
sed -i "s|\"deviceName\": \"Lab Edge\"|\"deviceName\": \"$longName\"|" "$refused"
edge_lab_start_edge refused "$refused"
edge_lab_expect_exit "$EDGE_PID" 30 1 "the edge refused by the Hub"
grep -qF 'ERROR Register failed: "deviceName" must be a string of at most 256 bytes.' \
  "$LAB/refused.out" ||
  lab_fail "no 'Register failed' line: $(edge_lab_output refused)"
if grep -qF "TUN device opened" <<<"$(edge_lab_output refused)"; then
  lab_fail "the edge went on after a refused registration"
fi

echo "PASS"
