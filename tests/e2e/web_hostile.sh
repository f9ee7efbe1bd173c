#!/usr/bin/env bash
# The web page of a real edge in the lab, attacked over the wire as a hostile web site, a
# password guesser and a crowd of idle and trickling local clients would: foreign Host
# names, cross-site and text/plain posts, sessions, the factory password, login throttling,
# and 1000 idle plus 100 byte-a-second connections while traffic crosses the tunnel.

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
W=http://127.0.0.1:18080
JSON=(-H 'Content-Type: application/json')

# web [CURL_OPTIONS...] URL: a request from inside the edge namespace.
web() { edge_lab_edge curl -s --max-time 5 "$@"; }
code() { web -o /dev/null -w '%{http_code}' "$@"; }
login() { web -c "$LAB/$1" "${JSON[@]}" -d "{\"username\":\"admin\",\"password\":\"$2\"}" "$W/api/login"; }
status_with() { code -b "$LAB/$1" "$W/api/status"; }

edge_lab_start_devhub --no-udp
edge_lab_start_relaying hostile "$config"
lab_wait_for 10 web -o /dev/null "$W/" || lab_fail "the web page does not answer"

echo "--- a foreign Host gets 421 everywhere"
for path in / /api/status /metrics; do
  [ "$(code -H 'Host: rebound.example:18080' "$W$path")" = 421 ] || lab_fail "$path answered a foreign Host"
done
[ "$(code -H 'Host: rebound.example:18080' "${JSON[@]}" -d '{}' "$W/api/login")" = 421 ] ||
  lab_fail "/api/login answered a foreign Host"

echo "--- the factory password: not on the page, good for nothing but its own change"
web "$W/" | grep -q admin && lab_fail "the login page carries 'admin'"
login a admin | grep -q '"success":true' || lab_fail "first login with the factory password failed"
reply=$(web -b "$LAB/a" "${JSON[@]}" -d '{"deviceName":"x"}' "$W/api/config")
[ "$reply" = '{"success":false,"message":"Change the default password first."}' ] ||
  lab_fail "a save with the factory password: $reply"
web -b "$LAB/a" "${JSON[@]}" -d '{"oldPassword":"admin","newPassword":"hostile-pw-1"}' \
  "$W/api/password" | grep -q '"success":true' || lab_fail "password change refused"
web -b "$LAB/a" "${JSON[@]}" -d '{"deviceName":"Changed"}' "$W/api/config" |
  grep -q '"message":"saved"' || lab_fail "a save after the change failed"

echo "--- cross-site and text/plain posts change nothing"
before=$(sha256sum <"$config")
[ "$(code -b "$LAB/a" "${JSON[@]}" -H 'Origin: http://evil.example' -d '{"deviceName":"Evil"}' \
  "$W/api/config")" = 403 ] || lab_fail "a cross-origin save was not refused"
[ "$(code -b "$LAB/a" -H 'Content-Type: text/plain' -d '{"deviceName":"Evil"}' "$W/api/config")" = 403 ] ||
  lab_fail "a text/plain save was not refused"
[ "$(sha256sum <"$config")" = "$before" ] || lab_fail "a refused save changed the file"

echo "--- sessions: one per login, ended by a password change elsewhere and by logout"
login b hostile-pw-1 >/dev/null
login c hostile-pw-1 >/dev/null
[ "$(grep larkspire_edge "$LAB/b" | cut -f7)" != "$(grep larkspire_edge "$LAB/c" | cut -f7)" ] ||
  lab_fail "two logins got the same cookie"
grep -q '#HttpOnly_' "$LAB/b" || lab_fail "the cookie is not HttpOnly"
web -b "$LAB/b" "${JSON[@]}" -d '{"oldPassword":"hostile-pw-1","newPassword":"hostile-pw-2"}' \
  "$W/api/password" | grep -q '"success":true' || lab_fail "second password change refused"
[ "$(status_with c)" = 401 ] || lab_fail "another session outlived the password change"
[ "$(status_with b)" = 200 ] || lab_fail "the session that changed the password was ended"
web -b "$LAB/b" "${JSON[@]}" -X POST "$W/api/logout" >/dev/null
[ "$(status_with b)" = 401 ] || lab_fail "the session outlived its logout"

echo "--- 20 wrong passwords, then the right one"
codes=()
for _ in $(seq 20); do
  codes+=("$(code "${JSON[@]}" -d '{"username":"admin","password":"guess"}' "$W/api/login")")
done
echo "answers: ${codes[*]}"
[ "${codes[*]:0:5}" = "403 403 403 403 403" ] && [ "${codes[5]}" = 429 ] ||
  lab_fail "no 429 by the 6th wrong password: ${codes[*]}"
headers=$(web -D - -o /dev/null "${JSON[@]}" -d '{"username":"admin","password":"hostile-pw-2"}' "$W/api/login")
grep -q '^HTTP/1.1 429' <<<"$headers" || lab_fail "the right password got in during the wait: $headers"
wait=$(sed -n 's/^Retry-After: \([0-9]*\).*/\1/p' <<<"$headers")
[ -n "$wait" ] || lab_fail "429 without Retry-After: $headers"
sleep "$wait"
login d hostile-pw-2 | grep -q '"success":true' || lab_fail "the right password was refused after the wait"
lines=$(grep -c "WARN Web login failed from 127.0.0.1 (" "$(edge_lab_log_file hostile)")
[ "$lines" = 1 ] || lab_fail "$lines failed-login lines within a minute"

echo "--- 1000 idle and 100 byte-a-second clients while traffic crosses the tunnel"
rss_before=$(soak_rss_kib "$EDGE_PID")
edge_lab_hub ping -i 0.2 -W 1 -w 16 "$EDGE_LAB_LAN_HOST" >"$LAB/ping.txt" 2>&1 &
pinger=$!
LAB_PIDS+=("$pinger")
( while kill -0 "$EDGE_PID" 2>/dev/null; do soak_rss_kib "$EDGE_PID"; sleep 0.5; done ) >"$LAB/rss.txt" &
LAB_PIDS+=("$!")
figures=$(edge_lab_edge "$SOAK_PYTHON" "$(dirname "$0")/lib/web_load.py" hold 127.0.0.1 18080 15 1000 100)
wait "$pinger" || true
peak=$(sort -n "$LAB/rss.txt" | tail -n 1)
answered=$(grep -c 'bytes from' "$LAB/ping.txt" || true)
echo "load: $figures; pings answered: $answered of 80; resident KiB before/peak: $rss_before/$peak"
grep -q ' probe_failures=0 ' <<<"$figures" || lab_fail "normal requests failed under load: $figures"
slowest=$(sed -n 's/.*probe_ms_max=\([0-9.]*\).*/\1/p' <<<"$figures")
awk -v ms="$slowest" 'BEGIN { exit !(ms + 0 < 1000) }' || lab_fail "a normal GET / took $slowest ms"
grep -q '^held=1100 ' <<<"$figures" || lab_fail "the clients were not all held: $figures"
[ "$answered" -ge 70 ] || lab_fail "the relay stalled under web load: $answered of 80 pings answered"
# A sanitizer's shadow memory would swamp the figure; the bound holds for the product build.
if ldd "$LARKSPIRE_EDGE" | grep -q 'lib[at]san'; then
  echo "sanitizer build: resident size not bounded"
else
  [ "$peak" -lt 32768 ] || lab_fail "the edge grew to $peak KiB under web load"
fi
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
