#!/usr/bin/env bash
# The web page of a real edge in the lab, attacked over the wire as a hostile web site, a
# password guesser and a crowd of idle and trickling local clients would: foreign Host names,
# cross-site and text/plain posts, sessions, the factory password, login throttling, and 1000
# idle plus 100 byte-a-second connections while traffic crosses the tunnel.

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
JSON=(-H 'Content-Type: application/json')
code() { edge_lab_web "$@" -o /dev/null -w '%{http_code}'; }
# as JAR PATH [CURL_OPTIONS...]: a request with the cookies of $LAB/JAR.
as() { edge_lab_edge curl -s --max-time 5 -b "$LAB/$1" -c "$LAB/$1" "${@:3}" "$EDGE_LAB_WEB$2"; }
login() { as "$1" /api/login "${JSON[@]}" -d "{\"username\":\"admin\",\"password\":\"$2\"}"; }

edge_lab_start_devhub --no-udp
edge_lab_start_relaying hostile "$config"

echo "--- a foreign Host gets 421 everywhere"
for path in / /api/status /metrics /api/login; do
  [ "$(code "$path" -H 'Host: rebound.example:18080')" = 421 ] || lab_fail "$path answered a foreign Host"
done

echo "--- the factory password: not on the page, good for nothing but its own change"
! edge_lab_web / | grep -q admin || lab_fail "the login page carries 'admin'"
login a admin | grep -q '"success":true' || lab_fail "first login with the factory password failed"
[ "$(as a /api/config "${JSON[@]}" -d '{"deviceName":"x"}')" = \
  '{"success":false,"message":"Change the default password first."}' ] || lab_fail "saved with the factory password"
as a /api/password "${JSON[@]}" -d '{"oldPassword":"admin","newPassword":"hostile-pw-1"}' |
  grep -q '"success":true' || lab_fail "password change refused"

echo "--- cross-site and text/plain posts change nothing"
before=$(sha256sum <"$config")
[ "$(as a /api/config "${JSON[@]}" -H 'Origin: http://evil.example' -d '{"deviceName":"Evil"}' -o /dev/null -w '%{http_code}')" = 403 ] &&
  [ "$(as a /api/config -H 'Content-Type: text/plain' -d '{"deviceName":"Evil"}' -o /dev/null -w '%{http_code}')" = 403 ] ||
  lab_fail "a cross-origin or text/plain save was not refused"
[ "$(sha256sum <"$config")" = "$before" ] || lab_fail "a refused save changed the file"
as a /api/config "${JSON[@]}" -d '{"deviceName":"Changed"}' | grep -q '"message":"saved"' ||
  lab_fail "a save after the password change failed"

echo "--- sessions: one per login, ended by a password change elsewhere and by logout"
login b hostile-pw-1 >/dev/null
login c hostile-pw-1 >/dev/null
[ "$(grep larkspire_edge "$LAB/b" | cut -f7)" != "$(grep larkspire_edge "$LAB/c" | cut -f7)" ] &&
  grep -q '#HttpOnly_' "$LAB/b" || lab_fail "two logins got the same cookie, or it is not HttpOnly"
as b /api/password "${JSON[@]}" -d '{"oldPassword":"hostile-pw-1","newPassword":"hostile-pw-2"}' |
  grep -q '"success":true' || lab_fail "second password change refused"
status() { as "$1" /api/status -o /dev/null -w '%{http_code}'; }
[ "$(status c) $(status b)" = "401 200" ] || lab_fail "sessions after a password change: $(status c) $(status b)"
as b /api/logout -X POST "${JSON[@]}" >/dev/null
[ "$(status b)" = 401 ] || lab_fail "the session outlived its logout"

echo "--- 20 wrong passwords, then the right one"
codes=$(for _ in $(seq 20); do code /api/login "${JSON[@]}" -d '{"username":"admin","password":"guess"}'; echo; done | paste -sd' ')
echo "answers: $codes"
[[ "$codes" == "403 403 403 403 403 429 "* ]] || lab_fail "no 429 by the 6th wrong password"
headers=$(edge_lab_web /api/login -D - -o /dev/null "${JSON[@]}" -d '{"username":"admin","password":"hostile-pw-2"}')
grep -q '^HTTP/1.1 429' <<<"$headers" || lab_fail "the right password got in during the wait: $headers"
sleep "$(sed -n 's/^Retry-After: \([0-9]*\).*/\1/p' <<<"$headers" | grep . || lab_fail "no Retry-After")"
login d hostile-pw-2 | grep -q '"success":true' || lab_fail "the right password was refused after the wait"
[ "$(grep -c "WARN Web login failed from 127.0.0.1 (" "$(edge_lab_log_file hostile)")" = 1 ] ||
  lab_fail "not one failed-login line within a minute"

echo "--- 1000 idle and 100 byte-a-second clients while traffic crosses the tunnel"
edge_lab_hub ping -i 0.2 -W 1 -w 16 "$EDGE_LAB_LAN_HOST" >"$LAB/ping.txt" 2>&1 &
pinger=$!
LAB_PIDS+=("$pinger")
( while kill -0 "$EDGE_PID" 2>/dev/null; do soak_rss_kib "$EDGE_PID"; sleep 0.5; done ) >"$LAB/rss.txt" &
LAB_PIDS+=("$!")
figures=$(edge_lab_edge "$SOAK_PYTHON" "$(dirname "$0")/lib/web_load.py" 127.0.0.1 18080 15 1000 100)
wait "$pinger" || true
peak=$(sort -n "$LAB/rss.txt" | tail -n 1)
answered=$(grep -c 'bytes from' "$LAB/ping.txt" || true)
echo "load: $figures; pings answered: $answered of 80; peak resident KiB: $peak"
grep -q "^held=1100 .* probe_failures=0 " <<<"$figures" || lab_fail "clients not all held, or a normal request failed"
awk -v ms="$(sed -n 's/.*probe_ms_max=\([0-9.]*\).*/\1/p' <<<"$figures")" 'BEGIN { exit !(ms + 0 < 1000) }' ||
  lab_fail "a normal GET / took a second or more"
[ "$answered" -ge 70 ] || lab_fail "the relay stalled under web load: $answered of 80 pings answered"
# A sanitizer's shadow memory would swamp the figure; the bound holds for the product build.
ldd "$LARKSPIRE_EDGE" | grep -q 'lib[at]san' || [ "$peak" -lt 32768 ] || lab_fail "the edge grew to $peak KiB"
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
