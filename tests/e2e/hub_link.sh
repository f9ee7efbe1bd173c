#!/usr/bin/env bash
# The edge and an https Hub: registration (the secret only in the 0600 configuration), relay
# inside TLS; a wrong name, a wrong pinned key or a refused device end it, status 1, no trace.
source "$(dirname "$0")/../../scripts/lib/edge_lab.sh"
edge_lab_init
edge_lab_use_tls
cp "$LAB/certs/hub.pem" "$LAB/certs/good.pem" && cp "$LAB/certs/hub.key" "$LAB/certs/good.key"
edge_lab_cert other DNS:other.lab
config=$LAB/edge.json
edge_lab_write_config "$config" '[]' "\"hubCertSha256\": \"$(edge_lab_pin "$LAB/certs/hub.pem")\""
edge_lab_start_devhub

echo "--- first start: registration, identity, relay inside TLS"
edge_lab_start_relaying first "$config"
secret=$(sed -n 's/^  "deviceSecret": "\(.*\)",$/\1/p' "$config")
grep -q '"deviceNumber": "[^"]' "$config" && [ -n "$secret" ] && [ "$(stat -c %a "$config")" = 600 ] ||
  lab_fail "configuration lacks the identity or is not mode 0600: $(cat "$config")"
grep -qF '"heartbeatAccepted": true' <<<"$(edge_lab_state first)" || lab_fail "state not accepted"
grep -qF "INFO Hub link encrypted: TLSv1." "$LAB/first.out" &&
  ! grep -qF "UDP relay connected" "$LAB/first.out" || lab_fail "not encrypted, or UDP next to TLS"
edge_lab_tcp_transfer 3000000
edge_lab_stop_edge "$EDGE_PID"

cp -p "$config" "$LAB/first.json"
leaks=$(grep -rlF -e "$secret" "$LAB" --exclude=edge.json --exclude=first.json --exclude=devhub.json --exclude=devhub.out || true)
[ -z "$leaks" ] || lab_fail "the full device secret is in: $leaks"

echo "--- refusals"
host=$(edge_lab_snapshot)
while IFS='|' read -r key cert change line; do
  edge_lab_stop_devhub
  cp "$LAB/certs/$cert.pem" "$LAB/certs/hub.pem" && cp "$LAB/certs/$cert.key" "$LAB/certs/hub.key"
  edge_lab_start_devhub
  cp "$LAB/devhub.json" "$LAB/devhub.before"
  sed "$change" "$LAB/first.json" >"$config"
  cp -p "$config" "$LAB/$key.json"
  edge_lab_start_edge "$key" "$config"
  edge_lab_wait_exit "$EDGE_PID" 20 1 "the edge facing $key"
  grep -qF "ERROR $line" "$LAB/$key.out" || lab_fail "'$line' missing: $(edge_lab_output "$key")"
  edge_lab_snapshot "$host" "after facing $key"
  cmp -s "$config" "$LAB/$key.json" || lab_fail "$key: the configuration changed"
  cmp -s "$LAB/devhub.json" "$LAB/devhub.before" || lab_fail "$key: the Hub heard from the edge"
done <<CASES
other|other||Hub certificate not trusted: hostname mismatch
pinned|good|s/"hubCertSha256": "[0-9a-f]*"/"hubCertSha256": "$(edge_lab_pin "$LAB/certs/other.pem")"/|Hub certificate does not match the pinned key.
named|good|s/"deviceName": "Lab Edge"/"deviceName": "$(printf 'n%.0s' $(seq 300))"/|Register failed: "deviceName" must be a string of at most 256 bytes.
CASES
echo "PASS"
