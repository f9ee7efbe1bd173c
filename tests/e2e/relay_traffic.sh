#!/usr/bin/env bash
# Overlay traffic to the edge's LAN: a UDP burst on the UDP channel, none damaged and no more
# lost with joined TUN writes than packet by packet, a TCP transfer intact; then a Hub forging
# packets from outside the overlay or to a network not shared, dropped, counted, logged once.

source "$(dirname "$0")/../../scripts/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_devhub
LIB=$(dirname "$0")/lib
TOLERANCE=200 # loss that timing alone may cause on a busy machine (2 %)

# burst WHAT COUNT: COUNT datagrams of 1000 bytes through the running edge; sets LOST.
burst() {
  ip netns exec "$LAN_NS" python3 "$LIB/udp_burst.py" receive "$EDGE_LAB_LAN_HOST" >"$LAB/burst.out" &
  local receiver=$! intact damaged udp
  LAB_PIDS+=("$receiver")
  lab_wait_for 10 edge_lab_lan bash -c "ss -lun | grep -q ':5300 '" || lab_fail "no receiver"
  udp=$(edge_lab_counter udp packetsToEdge)
  edge_lab_hub python3 "$LIB/udp_burst.py" send "$EDGE_LAB_LAN_HOST" "$2"
  wait "$receiver" || lab_fail "the receiver failed"
  read -r _ intact _ damaged <"$LAB/burst.out"
  [ "$damaged" = 0 ] || lab_fail "$damaged datagrams arrived damaged ($1)"
  LOST=$(($2 - intact))
  echo "$1: $intact of $2 arrived"
  [ $(($(edge_lab_counter udp packetsToEdge) - udp)) -ge $((intact / 2)) ] ||
    lab_fail "the burst did not take the UDP channel: $(edge_lab_devices)"
}

# run KEY [OPTION...]: an edge with the options, then the bursts; the first warms it up.
run() {
  edge_lab_start_relaying "$1" "$config" "${@:2}"
  edge_lab_wait_channel
  burst "$1 (warm-up)" 500
  burst "$1" 10000
}

run single --no-tun-offload
lostSingle=$LOST
edge_lab_stop_edge "$EDGE_PID"

run joined
grep -qF "WARN Hub link is not encrypted (http)" "$LAB/joined.out" || lab_fail "no warning for http"
[ "$LOST" -le $((lostSingle + TOLERANCE)) ] ||
  lab_fail "joining runs lost $LOST datagrams, packet by packet lost $lostSingle"
edge_lab_tcp_transfer 2000000

echo "--- a Hub that forges packets"
# The edge reaches more than it shares and has a default route: only its own check stops these.
edge_lab_lan ip addr add 172.31.0.10/24 dev eth0
edge_lab_edge ip route add 172.31.0.0/24 via "$EDGE_LAB_LAN_HOST"
edge_lab_edge ip route replace default via "$EDGE_LAB_HUB_ADDR"
# nc answers only the first sender: whichever forged packet got through first shows.
ip netns exec "$LAN_NS" nc -u -l 9999 >"$LAB/lan-datagrams.out" 2>&1 &
LAB_PIDS+=($!)
edge_lab_stop_devhub KILL
ip netns exec "$HUB_NS" python3 "$LIB/fault_hub.py" forge "$EDGE_LAB_HUB_ADDR" "$EDGE_LAB_PORT" \
  "$LAB/forge.count" >"$LAB/forge.out" 2>&1 &
LAB_PIDS+=($!)
lab_wait_for 20 test -s "$LAB/forge.count" || lab_fail "the edge never reached the forging Hub"
lab_wait_for 5 grep -q genuine "$LAB/lan-datagrams.out" || lab_fail "the genuine packet was lost"
! grep -qE "forged|outside" "$LAB/lan-datagrams.out" || lab_fail "forged packets reached the LAN"
dropped() {
  edge_lab_web /metrics | awk -v key="larkspire_edge_hub_packets_dropped_total{reason=\"$1\"}" '$1 == key {print $2}'
}
[ "$(dropped source_outside_overlay)" -ge 5 ] && [ "$(dropped destination_not_shared)" -ge 5 ] ||
  lab_fail "drops not counted: $(dropped source_outside_overlay) $(dropped destination_not_shared)"
[ "$(grep -c "WARN Dropped a packet from the Hub" "$LAB/joined.out")" = 1 ] ||
  lab_fail "not one WARN line for the dropped packets: $(grep Dropped "$LAB/joined.out")"
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
