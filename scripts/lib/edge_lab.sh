# The edge lab that the demo, the bench, the soak and the end-to-end scenarios run in, sourced:
# namespaces $LAB_PREFIX-{hub,edge,lan} (default prefix "ls<pid>").
#   hub  devhub, its TUN 10.250.0.1/16; eth0 10.99.0.1/24
#   edge wan0 10.99.0.2/24, eth0 192.168.50.1/24 (looks like hardware)
#   lan  192.168.50.10, no route to the overlay: replies come back only through the masquerade
set -euo pipefail

EDGE_LAB_HUB_ADDR=10.99.0.1
EDGE_LAB_EDGE_WAN=10.99.0.2
EDGE_LAB_LAN_HOST=192.168.50.10
EDGE_LAB_PORT=31080
EDGE_LAB_HUB_NAME=hub.lab  # in the edge's /etc/hosts, and in an https Hub's certificate
EDGE_LAB_HUB_URL="http://$EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT"
EDGE_LAB_CA=""
EDGE_LAB_OVERLAY_CLIENT=10.250.0.1
EDGE_LAB_WEB=http://127.0.0.1:18080

lab_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# lab_wait_for SECONDS COMMAND...: polls until COMMAND succeeds (LAB_TIME_FACTOR for slow guests).
lab_wait_for() {
  local deadline=$((SECONDS + $1 * ${LAB_TIME_FACTOR:-1}))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# lab_cleanup [STATUS]: the EXIT trap; returns the status the script exits with.
lab_cleanup() {
  local status=${1:-$?} pid ns
  for pid in ${LAB_PIDS[@]:-}; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 0.2
  for pid in ${LAB_PIDS[@]:-}; do kill -KILL "$pid" 2>/dev/null || true; done
  for ns in ${LAB_NAMESPACES[@]:-}; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  [ -z "${LAB:-}" ] || [ "${LAB_KEEP:-0}" = 1 ] || rm -rf "$LAB"
  return $status
}

# edge_lab_init: scratch directory $LAB, cleanup trap, namespaces $HUB_NS, $EDGE_NS, $LAN_NS.
edge_lab_init() {
  [ -x "${LARKSPIRE_EDGE:-}" ] && [ -x "${LARKSPIRE_DEVHUB:-}" ] ||
    lab_fail "LARKSPIRE_EDGE and LARKSPIRE_DEVHUB must name the built edge and devhub"
  [ "$(id -u)" = 0 ] || lab_fail "this scenario needs root (network namespaces, TUN, iptables)"
  LAB_PREFIX=${LAB_PREFIX:-ls$$}
  LAB=$(mktemp -d "${LARKSPIRE_BUILD_DIR:-/tmp}/lab.$LAB_PREFIX.XXXXXX")
  LAB_NAMESPACES=() LAB_PIDS=()
  trap lab_cleanup EXIT
  trap 'exit 130' INT TERM
  HUB_NS=$LAB_PREFIX-hub EDGE_NS=$LAB_PREFIX-edge LAN_NS=$LAB_PREFIX-lan
  local ns
  for ns in "$HUB_NS" "$EDGE_NS" "$LAN_NS"; do
    ip netns add "$ns" || lab_fail "cannot create network namespace $ns"
    LAB_NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
  done
  _edge_lab_link "$HUB_NS" eth0 "$EDGE_LAB_HUB_ADDR/24" "$EDGE_NS" wan0 "$EDGE_LAB_EDGE_WAN/24"
  _edge_lab_link "$EDGE_NS" eth0 192.168.50.1/24 "$LAN_NS" eth0 "$EDGE_LAB_LAN_HOST/24"
}

# _edge_lab_link NS1 IF1 CIDR1 NS2 IF2 CIDR2: a veth pair, named only inside the namespaces.
_edge_lab_link() {
  local tmp=v$$${RANDOM}
  ip link add "${tmp:0:13}a" netns "$1" type veth peer name "${tmp:0:13}b" netns "$4"
  ip -n "$1" link set "${tmp:0:13}a" name "$2" up
  ip -n "$4" link set "${tmp:0:13}b" name "$5" up
  ip -n "$1" addr add "$3" dev "$2"
  ip -n "$4" addr add "$6" dev "$5"
}

# edge_lab_cert NAME SAN: $LAB/certs/NAME.{key,pem} for SAN, from the lab CA (made on first use).
edge_lab_cert() {
  local d=$LAB/certs new=(openssl req -x509 -nodes -days 2 -newkey ec)
  new+=(-pkeyopt ec_paramgen_curve:prime256v1)
  mkdir -p "$d"
  [ -f "$d/ca.pem" ] || "${new[@]}" -subj "/CN=LarkSpire lab CA" -keyout "$d/ca.key" \
    -out "$d/ca.pem" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign" 2>/dev/null
  "${new[@]}" -subj "/CN=$1" -CA "$d/ca.pem" -CAkey "$d/ca.key" -addext "subjectAltName=$2" \
    -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=serverAuth -keyout "$d/$1.key" \
    -out "$d/$1.pem" 2>/dev/null
}

# edge_lab_pin CERT: the hex SHA-256 of the certificate's public key, as hubCertSha256 takes it.
edge_lab_pin() {
  openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform DER |
    openssl dgst -sha256 | sed 's/.*= //'
}

# edge_lab_use_tls: from here on the Hub speaks https under its name and configurations trust it.
edge_lab_use_tls() {
  [ -f "$LAB/certs/hub.pem" ] || edge_lab_cert hub "DNS:$EDGE_LAB_HUB_NAME"
  EDGE_LAB_HUB_URL="https://$EDGE_LAB_HUB_NAME:$EDGE_LAB_PORT"
  EDGE_LAB_CA=$LAB/certs/ca.pem
}

# A command in one of the namespaces (background ones with `ip netns exec`, so $! is theirs).
edge_lab_hub() { ip netns exec "$HUB_NS" "$@"; }
edge_lab_edge() { ip netns exec "$EDGE_NS" "$@"; }
edge_lab_lan() { ip netns exec "$LAN_NS" "$@"; }

# edge_lab_write_config FILE [SHARED_NETWORKS_JSON ['"key": value'...]]: no identity yet.
edge_lab_write_config() {
  local members=("\"serverUrl\": \"$EDGE_LAB_HUB_URL\"" ${EDGE_LAB_CA:+"\"hubCaFile\": \"$EDGE_LAB_CA\""}
    "${@:3}" '"deviceName": "Lab Edge"' "\"sharedNetworks\": ${2:-[]}")
  { echo "{"; printf '  %s,\n' "${members[@]}" | sed '$ s/,$//'; echo "}"; } >"$1"
}

# edge_lab_start_devhub [OPTIONS...]: the devhub (data kept across restarts) with the LAN routed
# through its TUN. Sets DEVHUB_PID.
edge_lab_start_devhub() {
  local tls=() tun
  [ -z "$EDGE_LAB_CA" ] || tls=(--tls-cert "$LAB/certs/hub.pem" --tls-key "$LAB/certs/hub.key")
  ip netns exec "$HUB_NS" "$LARKSPIRE_DEVHUB" --listen "$EDGE_LAB_HUB_ADDR" --port "$EDGE_LAB_PORT" \
    --data "$LAB/devhub.json" "${tls[@]}" "$@" >>"$LAB/devhub.out" 2>&1 &
  DEVHUB_PID=$!
  LAB_PIDS+=("$DEVHUB_PID")
  lab_wait_for 30 edge_lab_hub bash -c "exec 3<>/dev/tcp/$EDGE_LAB_HUB_ADDR/$EDGE_LAB_PORT" ||
    lab_fail "devhub did not start listening; its output: $(cat "$LAB/devhub.out")"
  tun=$(edge_lab_hub ip -4 -o addr show | awk -v a="$EDGE_LAB_OVERLAY_CLIENT/" 'index($4, a) == 1 {print $2}')
  [ -z "$tun" ] || edge_lab_hub ip route replace 192.168.50.0/24 dev "$tun" src "$EDGE_LAB_OVERLAY_CLIENT"
}

edge_lab_stop_devhub() {
  kill "-${1:-TERM}" "${DEVHUB_PID:-}" 2>/dev/null || true
  wait "${DEVHUB_PID:-}" 2>/dev/null || true
}

edge_lab_devices() {
  edge_lab_hub curl -s --max-time 5 ${EDGE_LAB_CA:+--cacert "$EDGE_LAB_CA"} \
    --resolve "$EDGE_LAB_HUB_NAME:$EDGE_LAB_PORT:$EDGE_LAB_HUB_ADDR" "$EDGE_LAB_HUB_URL/api/devices"
}

# edge_lab_start_edge KEY CONFIG [OPTION...]: an edge whose eth0 has a sysfs device/ and whose
# /etc and /var/lib write to $LAB/KEY/*.up; console in $LAB/KEY.out. Sets EDGE_PID.
edge_lab_start_edge() {
  local root=$LAB/$1 sys=/sys/devices/virtual/net/eth0 options=
  [ $# -le 2 ] || options=$(printf ' %q' "${@:3}")
  mkdir -p "$root"/{priv,etc.up,etc.wk,varlib.up,varlib.wk} "$LAB/work-$1"
  [ -f "$root/etc.up/hosts" ] ||
    { cat /etc/hosts; echo "$EDGE_LAB_HUB_ADDR $EDGE_LAB_HUB_NAME"; } >"$root/etc.up/hosts"
  ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c "set -e
    mount -t tmpfs priv '$root/priv'; mkdir -p '$root/priv/eth0/device'
    mount -t overlay syseth0 -o 'lowerdir=$root/priv/eth0:$sys' $sys
    mount -t overlay etc -o 'lowerdir=/etc,upperdir=$root/etc.up,workdir=$root/etc.wk' /etc
    mount -t overlay varlib -o 'lowerdir=/var/lib,upperdir=$root/varlib.up,workdir=$root/varlib.wk' /var/lib
    exec '$LARKSPIRE_EDGE' --config '$2' --workdir '$LAB/work-$1'$options" >>"$LAB/$1.out" 2>&1 &
  EDGE_PID=$!
  LAB_PIDS+=("$EDGE_PID")
}

edge_lab_output() { cat "$LAB/$1.out"; }
edge_lab_state() { cat "$LAB/$1/varlib.up/larkspire/edge.state.json" 2>/dev/null; }

edge_lab_wait_output() {
  lab_wait_for "$2" grep -qF -- "$3" "$LAB/$1.out" ||
    lab_fail "edge '$1' did not log '$3' within $2 s: $(edge_lab_output "$1")"
}

# edge_lab_wait_exit PID SECONDS [STATUS WHAT]: sets LAB_EXIT_STATUS; fails unless it is STATUS.
edge_lab_wait_exit() {
  lab_wait_for "$2" eval "! kill -0 $1 || [ \"\$(ps -o stat= -p $1)\" = Z ]" ||
    lab_fail "process $1 did not end within $2 s"
  LAB_EXIT_STATUS=0
  { wait "$1"; } 2>/dev/null || LAB_EXIT_STATUS=$?
  [ $# -lt 3 ] || [ "$LAB_EXIT_STATUS" = "$3" ] ||
    lab_fail "$4 ended with status $LAB_EXIT_STATUS, not $3"
}

edge_lab_stop_edge() {
  kill "-${2:-TERM}" "$1"
  edge_lab_wait_exit "$1" 15 0 "the edge stopped by SIG${2:-TERM}"
}

# edge_lab_snapshot [EXPECTED WHEN]: the edge's firewall, routes and links; fails unless EXPECTED.
edge_lab_snapshot() {
  local now
  now=$(edge_lab_edge iptables-save | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//'
    edge_lab_edge ip -4 route show table all
    edge_lab_edge ip -o link show | sed 's/^[0-9]*: //; s/ link\/.*//')
  if [ $# = 0 ]; then
    echo "$now"
  elif [ "$now" != "$1" ]; then
    lab_fail "the edge's host differs $2: $now"
  fi
}

# edge_lab_tcp_transfer BYTES: random bytes from the hub side to the LAN host over TCP, intact.
edge_lab_tcp_transfer() {
  head -c "$1" /dev/urandom >"$LAB/payload.sent"
  ip netns exec "$LAN_NS" nc -l "$EDGE_LAB_LAN_HOST" 5001 >"$LAB/payload.received" </dev/null &
  LAB_PIDS+=("$!")
  lab_wait_for 5 edge_lab_lan bash -c "ss -ltn | grep -q ':5001 '" || lab_fail "nc did not listen"
  edge_lab_hub timeout 60 nc -N "$EDGE_LAB_LAN_HOST" 5001 <"$LAB/payload.sent" ||
    lab_fail "TCP transfer to $EDGE_LAB_LAN_HOST failed"
  wait "$!" || true
  cmp -s "$LAB/payload.sent" "$LAB/payload.received" ||
    lab_fail "the file arrived changed ($(stat -c %s "$LAB/payload.received") of $1 bytes)"
}

# edge_lab_counter webSocket|udp FIELD: a relay counter of the device in the devhub's listing.
edge_lab_counter() {
  edge_lab_devices | grep -o "\"$1\":{[^}]*}" | head -n 1 | grep -o "\"$2\":[0-9]*" | cut -d: -f2
}

edge_lab_channel_id() {
  edge_lab_devices | grep -o '"udpChannelId":"[^"]*"' | head -n 1 | cut -d'"' -f4
}
edge_lab_wait_channel() {
  lab_wait_for 10 eval '[ -n "$(edge_lab_channel_id)" ]' || lab_fail "no UDP channel: $(edge_lab_devices)"
}

edge_lab_wait_tunnel() {
  lab_wait_for "$1" edge_lab_hub ping -c 1 -W 1 "$EDGE_LAB_LAN_HOST" ||
    lab_fail "no ping crossed the tunnel within $1 s"
}

edge_lab_start_relaying() {
  edge_lab_start_edge "$@"
  edge_lab_wait_output "$1" 20 "Linux forwarding and NAT rules applied for"
  edge_lab_wait_tunnel 15
}

# edge_lab_web PATH [CURL_OPTIONS...]: the edge's web page, with the cookies of $LAB/cookies.
edge_lab_web() {
  edge_lab_edge curl -s --max-time $((10 * ${LAB_TIME_FACTOR:-1})) -b "$LAB/cookies" \
    -c "$LAB/cookies" "${@:2}" "$EDGE_LAB_WEB$1"
}
