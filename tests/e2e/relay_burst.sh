#!/usr/bin/env bash
# A paced burst of 10,000 equal-sized UDP datagrams of one flow, from a client of the overlay
# over the UDP channel to a host in the edge's LAN: with the edge joining such runs into one
# TUN write (where the kernel takes them) no more may be lost than with --no-tun-offload, and
# none may arrive damaged. (TCP through joined writes: relay_traffic.)

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_devhub
BURST=$(dirname "$0")/lib/udp_burst.py
COUNT=10000
SIZE=1000
RATE=1000
PORT=5300
# Loss that timing alone may cause on a busy machine, in datagrams (2 %).
TOLERANCE=200

tun_writes() { edge_lab_edge cat /sys/class/net/larkspire0/statistics/rx_packets; }

# burst WHAT COUNT: sends COUNT datagrams through the running edge; sets LOST.
burst() {
  ip netns exec "$LAN_NS" python3 "$BURST" receive "$EDGE_LAB_LAN_HOST" $PORT $SIZE 3 \
    >"$LAB/burst.out" &
  local receiver=$! count=$2 intact damaged writes
  LAB_PIDS+=("$receiver")
  lab_wait_for 10 edge_lab_lan bash -c "ss -lun | grep -q ':$PORT '" || lab_fail "no receiver"
  # The device counts each write as one received packet, however many it carried.
  writes=$(tun_writes)
  edge_lab_hub python3 "$BURST" send "$EDGE_LAB_LAN_HOST" $PORT "$count" $SIZE $RATE
  wait "$receiver" || lab_fail "the receiver failed"
  read -r _ intact _ damaged <"$LAB/burst.out"
  [ "$damaged" = 0 ] || lab_fail "$damaged datagrams arrived damaged ($1)"
  LOST=$((count - intact))
  echo "$1: $intact of $count datagrams arrived, $LOST lost, in $(($(tun_writes) - writes)) TUN writes"
}

# run KEY [OPTION...]: an edge with the options, up to its UDP channel; then the burst.
run() {
  local key=$1
  shift
  edge_lab_start_relaying "$key" "$config" "$@"
  lab_wait_for 10 test -n "$(edge_lab_channel_id)" || lab_fail "no UDP channel: $(edge_lab_devices)"
  # A first, shorter burst that is not counted: the first packets of a fresh process cost
  # an emulated machine far more than the rest.
  burst "$key (warm-up)" 500
  burst "$key" $COUNT
}

echo "--- joined runs"
run joined
lostJoined=$LOST
edge_lab_stop_edge "$EDGE_PID"

echo "--- packet by packet"
run single --no-tun-offload
edge_lab_stop_edge "$EDGE_PID"

[ "$lostJoined" -le $((LOST + TOLERANCE)) ] ||
  lab_fail "joining runs lost $lostJoined datagrams, packet by packet lost $LOST"
echo "PASS"
