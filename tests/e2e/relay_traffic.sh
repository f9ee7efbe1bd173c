#!/usr/bin/env bash
# Traffic from a client of the overlay (the hub namespace) to a host in the edge's LAN: ping
# and a TCP file transfer over the WebSocket channel alone, then with the UDP channel, whose
# counters must grow for a UDP workload while TCP stays on the WebSocket. Then a Hub that
# forges packets: one from outside the overlay and one to a network the edge reaches but does
# not share never get to the LAN, while a genuine one does.

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"

echo "--- WebSocket only"
edge_lab_start_devhub --no-udp
edge_lab_start_relaying ws "$config"
edge_lab_ping 10 || lab_fail "ping over the WebSocket channel failed"
edge_lab_tcp_transfer 2000000
[ "$(edge_lab_counter udp packetsToEdge)" = 0 ] || lab_fail "UDP used although disabled"
[ "$(edge_lab_counter webSocket packetsFromEdge)" -gt 0 ] || lab_fail "no WebSocket counters"
edge_lab_stop_edge "$EDGE_PID"
edge_lab_stop_devhub TERM

echo "--- WebSocket and UDP"
edge_lab_start_devhub
edge_lab_start_relaying udp "$config"
lab_wait_for 10 test -n "$(edge_lab_channel_id)" || lab_fail "no UDP channel: $(edge_lab_devices)"
edge_lab_ping 10 || lab_fail "ping with the UDP channel up failed"
edge_lab_tcp_transfer 2000000
udpBefore=$(edge_lab_counter udp packetsToEdge)
udpBackBefore=$(edge_lab_counter udp packetsFromEdge)
# A UDP workload: iperf3's control connection is TCP (WebSocket), its 1000-byte datagrams
# qualify for the UDP channel in both directions of the test stream.
ip netns exec "$LAN_NS" iperf3 -s -1 -B "$EDGE_LAB_LAN_HOST" >"$LAB/iperf3-server.out" 2>&1 &
LAB_PIDS+=($!)
lab_wait_for 5 edge_lab_lan bash -c "ss -ltn | grep -q ':5201 '" || lab_fail "iperf3 did not listen"
edge_lab_hub iperf3 -u -c "$EDGE_LAB_LAN_HOST" -b 2M -l 1000 -t 2 >"$LAB/iperf3.out" 2>&1 ||
  lab_fail "iperf3 UDP run failed: $(cat "$LAB/iperf3.out")"
udpAfter=$(edge_lab_counter udp packetsToEdge)
udpBackAfter=$(edge_lab_counter udp packetsFromEdge)
echo "UDP channel packets to the edge: $udpBefore -> $udpAfter, from the edge: $udpBackBefore -> $udpBackAfter"
[ "$udpAfter" -gt $((udpBefore + 100)) ] || lab_fail "the UDP workload did not use the UDP channel"

echo "--- A Hub that forges packets"
# As on a real site, the edge reaches more than it shares and has a default route, so only its
# own check stands between a forged packet and the LAN.
edge_lab_lan ip addr add 172.31.0.10/24 dev eth0
edge_lab_edge ip route add 172.31.0.0/24 via "$EDGE_LAB_LAN_HOST"
edge_lab_edge ip route replace default via "$EDGE_LAB_HUB_ADDR"
ip netns exec "$LAN_NS" python3 -u -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 9999))
while True:
    print(s.recvfrom(100)[0].decode(), flush=True)' >"$LAB/lan-datagrams.out" 2>&1 &
LAB_PIDS+=($!)
edge_lab_stop_devhub KILL
: >"$LAB/forge.count"
ip netns exec "$HUB_NS" python3 "$(dirname "$0")/lib/fault_hub.py" forge "$EDGE_LAB_HUB_ADDR" \
  "$EDGE_LAB_PORT" "$LAB/forge.count" >"$LAB/forge.out" 2>&1 &
LAB_PIDS+=($!)
lab_wait_for 20 test -s "$LAB/forge.count" || lab_fail "the edge never reached the forging Hub"
lab_wait_for 5 grep -q genuine "$LAB/lan-datagrams.out" ||
  lab_fail "the genuine packet did not reach the LAN"
! grep -qE "forged|outside" "$LAB/lan-datagrams.out" ||
  lab_fail "forged packets reached the LAN: $(sort "$LAB/lan-datagrams.out" | uniq -c)"
dropped() {
  edge_lab_edge curl -s --max-time 10 http://127.0.0.1:18080/metrics |
    awk -v key="larkspire_edge_hub_packets_dropped_total{reason=\"$1\"}" '$1 == key {print $2}'
}
[ "$(dropped source_outside_overlay)" -ge 5 ] && [ "$(dropped destination_not_shared)" -ge 5 ] ||
  lab_fail "drops not counted: $(dropped source_outside_overlay) $(dropped destination_not_shared)"
[ "$(edge_lab_output udp | grep -c "WARN Dropped a packet from the Hub")" = 1 ] ||
  lab_fail "not one WARN line for the dropped packets: $(edge_lab_output udp | grep Dropped)"
edge_lab_stop_edge "$EDGE_PID"

echo "PASS"
