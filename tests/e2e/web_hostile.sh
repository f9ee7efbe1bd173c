#!/usr/bin/env bash
# The web page of a relaying edge facing a hostile machine: a foreign Host name is refused over
# the wire, and 1000 idle plus 100 byte-a-second local clients neither lock out a normal request,
# nor stall the relay, nor grow the edge. (Origin, session, password and throttling rules are
# the web unit tests'.)

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
edge_lab_write_config "$LAB/edge.json"
edge_lab_start_devhub --no-udp
edge_lab_start_relaying hostile "$LAB/edge.json"
[ "$(edge_lab_web / -H 'Host: rebound.example:18080' -o /dev/null -w '%{http_code}')" = 421 ] ||
  lab_fail "a foreign Host got an answer other than 421"

edge_lab_hub ping -i 0.2 -W 1 -w 16 "$EDGE_LAB_LAN_HOST" >"$LAB/ping.txt" 2>&1 &
pinger=$!
LAB_PIDS+=("$pinger")
(while kill -0 "$EDGE_PID" 2>/dev/null; do soak_rss_kib "$EDGE_PID"; sleep 0.5; done) >"$LAB/rss.txt" &
LAB_PIDS+=("$!")
figures=$(edge_lab_edge "$SOAK_PYTHON" "$(dirname "$0")/lib/web_load.py" 127.0.0.1 18080 15 1000 100)
wait "$pinger" || true
peak=$(sort -n "$LAB/rss.txt" | tail -n 1)
answered=$(grep -c 'bytes from' "$LAB/ping.txt" || true)
echo "load: $figures; pings answered: $answered of 80; peak resident KiB: $peak"
grep -q "^held=1100 probe_failures=0 probe_ms_max=[0-9]\{1,3\}\." <<<"$figures" ||
  lab_fail "clients not all held, or a normal GET / failed or took a second or more"
[ "$answered" -ge 70 ] || lab_fail "the relay stalled under web load: $answered of 80 pings answered"
# A sanitizer's shadow memory would swamp the figure; the bound holds for the product build.
ldd "$LARKSPIRE_EDGE" | grep -q 'lib[at]san' || [ "$peak" -lt 32768 ] || lab_fail "the edge grew to $peak KiB"
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
