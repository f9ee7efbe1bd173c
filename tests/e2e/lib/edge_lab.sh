# The edge lab: three namespaces wired like a real site, the development Hub and the edge.
# Source it after nothing else (it sources netlab.sh); do not run it.
#
#   hub  (devhub, its TUN 10.250.0.1/16)  eth0 10.99.0.1/24
#     |
#   edge (larkspire-edge)                 wan0 10.99.0.2/24 (virtual: not shared)
#                                         eth0 192.168.50.1/24 (looks like hardware)
#     |
#   lan  (host 192.168.50.10)             eth0 192.168.50.10/24, no route to 10.250.0.0/16
#
# The LAN host cannot answer the overlay except through the edge's masquerade, so a reply
# that arrives proves the whole gateway path.

# shellcheck source=netlab.sh
source "$(dirname "${BASH_SOURCE[0]}")/netlab.sh"
# shellcheck source=tls.sh
source "$(dirname "${BASH_SOURCE[0]}")/tls.sh"

EDGE_LAB_HUB_ADDR=10.99.0.1
EDGE_LAB_EDGE_WAN=10.99.0.2
EDGE_LAB_LAN_HOST=192.168.50.10
EDGE_LAB_LAN_NET=192.168.50.0/24
EDGE_LAB_PORT=31080
EDGE_LAB_HUB_URL="http://$EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT"
EDGE_LAB_CA=""  # the CA of an https lab Hub (edge_lab_use_tls)
EDGE_LAB_OVERLAY_CLIENT=10.250.0.1

edge_lab_require_binaries() {
  [ -x "${LARKSPIRE_EDGE:-}" ] || lab_fail "LARKSPIRE_EDGE does not name the built edge binary"
  [ -x "${LARKSPIRE_DEVHUB:-}" ] || lab_fail "LARKSPIRE_DEVHUB does not name the built devhub binary"
}

# edge_lab_init: scratch directory, cleanup trap and the three namespaces. Sets HUB_NS,
# EDGE_NS and LAN_NS.
edge_lab_init() {
  edge_lab_require_binaries
  lab_init
  lab_netns hub
  lab_netns edge
  lab_netns lan
  HUB_NS=$(lab_ns hub)
  EDGE_NS=$(lab_ns edge)
  LAN_NS=$(lab_ns lan)
  lab_link "$HUB_NS" eth0 "$EDGE_NS" wan0
  lab_addr "$HUB_NS" eth0 "$EDGE_LAB_HUB_ADDR/24"
  lab_addr "$EDGE_NS" wan0 "$EDGE_LAB_EDGE_WAN/24"
  lab_link "$EDGE_NS" eth0 "$LAN_NS" eth0
  lab_addr "$EDGE_NS" eth0 192.168.50.1/24
  lab_addr "$LAN_NS" eth0 "$EDGE_LAB_LAN_HOST/24"
}

# edge_lab_use_tls: from here on the lab's Hub speaks https: a throw-away CA and a certificate
# for the Hub's address under $LAB/certs, served by the devhub and trusted by the
# configurations edge_lab_write_config writes. edge_lab_use_plain goes back to http.
edge_lab_use_tls() {
  [ -f "$LAB/certs/hub.pem" ] || {
    tls_lab_ca "$LAB/certs"
    tls_lab_server "$LAB/certs" hub "IP:$EDGE_LAB_HUB_ADDR"
  }
  EDGE_LAB_HUB_URL="https://$EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT"
  EDGE_LAB_CA=$LAB/certs/ca.pem
}
edge_lab_use_plain() {
  EDGE_LAB_HUB_URL="http://$EDGE_LAB_HUB_ADDR:$EDGE_LAB_PORT"
  EDGE_LAB_CA=""
}

# Run a command in one of the namespaces. Start background processes with `ip netns exec`
# itself instead, so that $! is the process and not a subshell.
edge_lab_hub() { ip netns exec "$HUB_NS" "$@"; }
edge_lab_edge() { ip netns exec "$EDGE_NS" "$@"; }
edge_lab_lan() { ip netns exec "$LAN_NS" "$@"; }

# edge_lab_write_config FILE [SHARED_NETWORKS_JSON]: a configuration that points at the
# lab's Hub, with no identity yet.
edge_lab_write_config() {
  local file=$1 shared=${2:-[]} trust=""
  [ -z "$EDGE_LAB_CA" ] || trust=$'\n  "hubCaFile": "'$EDGE_LAB_CA'",'
  cat >"$file" <<JSON
{
  "serverUrl": "$EDGE_LAB_HUB_URL",$trust
  "deviceName": "Lab Edge",
  "sharedNetworks": $shared
}
JSON
}

# edge_lab_config_value FILE KEY: a string value of the configuration file.
edge_lab_config_value() {
  sed -n "s/^  \"$2\": \"\\(.*\\)\",\$/\\1/p" "$1"
}

# edge_lab_start_devhub [OPTIONS...]: starts the devhub in the hub namespace (data file in
# the scratch directory, kept across restarts) and waits until it accepts connections.
# Sets DEVHUB_PID; output goes to $LAB/devhub.out.
edge_lab_start_devhub() {
  # `ip netns exec` directly, not through a shell function: $! must be the devhub itself.
  local tls=()
  [ -z "$EDGE_LAB_CA" ] || tls=(--tls-cert "$LAB/certs/hub.pem" --tls-key "$LAB/certs/hub.key")
  ip netns exec "$HUB_NS" "$LARKSPIRE_DEVHUB" --listen "$EDGE_LAB_HUB_ADDR" --port "$EDGE_LAB_PORT" \
    --data "$LAB/devhub.json" "${tls[@]}" "$@" >>"$LAB/devhub.out" 2>&1 &
  DEVHUB_PID=$!
  LAB_PIDS+=("$DEVHUB_PID")
  # Generous: on a loaded machine a start in a fresh namespace can take seconds.
  lab_wait_for 30 edge_lab_hub bash -c "exec 3<>/dev/tcp/$EDGE_LAB_HUB_ADDR/$EDGE_LAB_PORT" ||
    lab_fail "devhub did not start listening; its output: $(cat "$LAB/devhub.out")"
  # The devhub's TUN comes up with it; send the LAN through it as a client of the overlay
  # would see it.
  if grep -q "inet $EDGE_LAB_OVERLAY_CLIENT/" <<<"$(edge_lab_hub ip -4 addr show)"; then
    local tun
    tun=$(edge_lab_hub ip -4 -o addr show | awk -v a="$EDGE_LAB_OVERLAY_CLIENT/" 'index($4, a) == 1 {print $2}')
    edge_lab_hub ip route replace "$EDGE_LAB_LAN_NET" dev "$tun" src "$EDGE_LAB_OVERLAY_CLIENT"
  fi
}

# edge_lab_stop_devhub [SIGNAL]: stops the devhub and waits for it.
edge_lab_stop_devhub() {
  kill "-${1:-TERM}" "$DEVHUB_PID" 2>/dev/null || true
  wait "$DEVHUB_PID" 2>/dev/null || true
}

# edge_lab_devices: GET /api/devices from inside the hub namespace.
edge_lab_devices() {
  edge_lab_hub curl -s --max-time 5 ${EDGE_LAB_CA:+--cacert "$EDGE_LAB_CA"} "$EDGE_LAB_HUB_URL/api/devices"
}

# edge_lab_start_edge KEY CONFIG [OPTION...]: starts an edge (with the further command-line
# options, if any) in the edge namespace with eth0 made to look like hardware and /etc and
# /var/lib overlaid under $LAB/KEY. Sets EDGE_PID; its console output goes to $LAB/KEY.out.
# `exec` keeps the edge's PID equal to the launched one.
edge_lab_start_edge() {
  local key=$1 config=$2 prelude options=
  prelude=$(lab_edge_prelude "$key" eth0)
  [ $# -le 2 ] || options=$(printf ' %q' "${@:3}")
  mkdir -p "$LAB/work-$key"
  ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c \
    "$prelude; exec '$LARKSPIRE_EDGE' --config '$config' --workdir '$LAB/work-$key'$options" \
    >>"$LAB/$key.out" 2>&1 &
  EDGE_PID=$!
  LAB_PIDS+=("$EDGE_PID")
}

edge_lab_output() { cat "$LAB/$1.out"; }
edge_lab_state() { cat "$LAB/$1/varlib.up/larkspire/edge.state.json" 2>/dev/null; }

# edge_lab_wait_output KEY SECONDS TEXT: waits until the edge's console shows TEXT.
edge_lab_wait_output() {
  lab_wait_for "$2" grep -qF -- "$3" "$LAB/$1.out" ||
    lab_fail "edge '$1' did not log '$3' within $2 s; its output:
$(edge_lab_output "$1")"
}

# edge_lab_wait_exit PID SECONDS: waits for the process (a child of this shell) to end and
# sets LAB_EXIT_STATUS. Not to be called inside $(...): a subshell cannot wait for it.
edge_lab_wait_exit() {
  local pid=$1 deadline=$((SECONDS + $(lab_seconds "$2")))
  while kill -0 "$pid" 2>/dev/null && [ "$(ps -o stat= -p "$pid")" != Z ]; do
    [ $SECONDS -lt $deadline ] || lab_fail "process $pid did not end within $2 s"
    sleep 0.1
  done
  LAB_EXIT_STATUS=0
  { wait "$pid"; } 2>/dev/null || LAB_EXIT_STATUS=$?
}

# edge_lab_expect_exit PID SECONDS STATUS WHAT: the process ends with STATUS.
edge_lab_expect_exit() {
  edge_lab_wait_exit "$1" "$2"
  [ "$LAB_EXIT_STATUS" = "$3" ] || lab_fail "$4 ended with status $LAB_EXIT_STATUS, not $3"
}

# edge_lab_stop_edge PID: SIGTERM; the edge must end with status 0 within 15 s.
edge_lab_stop_edge() {
  kill -TERM "$1"
  edge_lab_expect_exit "$1" 15 0 "the edge stopped by SIGTERM"
}

# edge_lab_firewall: the edge namespace's rules without counters or time stamps.
edge_lab_firewall() {
  edge_lab_edge iptables-save | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//'
}

edge_lab_routes() { edge_lab_edge ip -4 route show table all; }

# edge_lab_ping SECONDS: pings the LAN host from the hub namespace through the tunnel.
edge_lab_ping() {
  edge_lab_hub ping -c 3 -i 0.2 -W 2 -w "${1:-10}" "$EDGE_LAB_LAN_HOST"
}

# edge_lab_tcp_transfer BYTES: moves a random file from the hub namespace to the LAN host over
# TCP through the tunnel and checks it arrived intact.
edge_lab_tcp_transfer() {
  local bytes=$1 port=5001
  head -c "$bytes" /dev/urandom >"$LAB/payload.sent"
  rm -f "$LAB/payload.received"
  ip netns exec "$LAN_NS" nc -l "$EDGE_LAB_LAN_HOST" "$port" >"$LAB/payload.received" </dev/null &
  local listener=$!
  LAB_PIDS+=("$listener")
  lab_wait_for 5 edge_lab_lan bash -c "ss -ltn | grep -q ':$port '" || lab_fail "nc did not listen"
  edge_lab_hub timeout 60 nc -N "$EDGE_LAB_LAN_HOST" "$port" <"$LAB/payload.sent" ||
    lab_fail "TCP transfer to $EDGE_LAB_LAN_HOST:$port failed"
  wait "$listener" || true
  cmp -s "$LAB/payload.sent" "$LAB/payload.received" ||
    lab_fail "the file arrived changed ($(stat -c %s "$LAB/payload.received") of $bytes bytes)"
}

# edge_lab_log_file KEY: the log file the edge wrote for its (latest) run.
edge_lab_log_file() {
  find "$LAB/work-$1/Log" -name '*.log' -type f 2>/dev/null | sort | tail -n 1
}

# edge_lab_expect_in_order FILE TEXT...: each TEXT appears on a line of FILE after the line
# of the TEXT before it.
edge_lab_expect_in_order() {
  local file=$1 line=0 text found
  shift
  for text in "$@"; do
    found=$(tail -n "+$((line + 1))" "$file" | grep -nF -m 1 -- "$text" | cut -d: -f1) ||
      lab_fail "'$text' missing after line $line of $file:
$(cat "$file")"
    line=$((line + found))
  done
}

# edge_lab_counter CHANNEL FIELD: one relay counter of the lab's only device, from the
# devhub's listing (CHANNEL is webSocket or udp; FIELD e.g. packetsToEdge).
edge_lab_counter() {
  edge_lab_devices | grep -o "\"$1\":{[^}]*}" | head -n 1 | grep -o "\"$2\":[0-9]*" | cut -d: -f2
}

# edge_lab_channel_id: the UDP channel identifier the devhub granted the lab's only device.
edge_lab_channel_id() {
  edge_lab_devices | grep -o '"udpChannelId":"[^"]*"' | head -n 1 | cut -d'"' -f4
}

# edge_lab_wait_tunnel SECONDS: waits until a ping crosses the tunnel to the LAN host.
edge_lab_wait_tunnel() {
  lab_wait_for "$1" edge_lab_hub ping -c 1 -W 1 "$EDGE_LAB_LAN_HOST" ||
    lab_fail "no ping crossed the tunnel within $1 s"
}

# edge_lab_start_relaying KEY CONFIG [OPTION...]: starts an edge and waits until traffic crosses.
edge_lab_start_relaying() {
  edge_lab_start_edge "$@"
  edge_lab_wait_output "$1" 20 "Linux forwarding and NAT rules applied for"
  edge_lab_wait_tunnel 15
}

_edge_lab_log_has() {
  local file
  file=$(edge_lab_log_file "$1")
  [ -n "$file" ] && grep -qF -- "$2" "$file"
}

# edge_lab_wait_log KEY SECONDS TEXT: waits until the edge's log file holds TEXT.
edge_lab_wait_log() {
  lab_wait_for "$2" _edge_lab_log_has "$1" "$3" ||
    lab_fail "the log of edge '$1' did not show '$3' within $2 s"
}
