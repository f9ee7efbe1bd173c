#!/usr/bin/env bash
# The exit paths that the signal scenarios do not cover: SIGTERM while the Hub is frozen and
# the edge's send buffers are full, a restart asked for on the web page, an installed forced
# update, a registration the Hub refuses and a TUN device another program holds. After each,
# the firewall, routes and interfaces of the edge's host are exactly as they were before the
# start.

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
edge_lab_edge iptables -A FORWARD -i wan0 -p tcp --dport 22 -j ACCEPT
edge_lab_edge iptables -t nat -A POSTROUTING -o wan0 -j RETURN
before=$(soak_snapshot)
config=$LAB/edge.json
soak_write_config "$config"
edge_lab_start_devhub

check() {
  local name=$1 fn=$2
  echo "--- $name"
  SOAK_EXIT_NOTE=
  "$fn" "$(tr ' ' - <<<"$name")" "$config" "$before" ||
    lab_fail "$name: $SOAK_EXIT_NOTE; edge output:
$(cat "$LAB/$(tr ' ' - <<<"$name").out" 2>/dev/null)"
}
check "sigterm frozen hub" soak_exit_sigterm_frozen_hub
check "web restart" soak_exit_web_restart
check "forced update" soak_exit_forced_update
check "failed registration" soak_exit_failed_registration
check "tun taken" soak_exit_tun_taken
echo "PASS"
