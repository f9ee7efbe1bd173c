#!/usr/bin/env bash
# How the service manager stops the edge: SIGTERM and SIGINT once running end it with
# status 0 and the stop line, a SIGPIPE does not end it, and a console whose reader is gone
# does not stop it either (the log file still gets every line).

source "$(dirname "$0")/lib/edge_lab.sh"
edge_lab_init
config=$LAB/edge.json
edge_lab_write_config "$config"
edge_lab_start_devhub

for signal in TERM INT; do
  echo "--- SIG$signal once running"
  key=sig$signal
  edge_lab_start_edge "$key" "$config"
  edge_lab_wait_output "$key" 20 "Linux forwarding and NAT rules applied for"
  log=$(edge_lab_log_file "$key")
  [[ "$log" =~ ^$LAB/work-$key/Log/([0-9]{6})/([0-9]{6})[0-9]{2}_[0-9]{6}\.log$ ]] &&
    [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] || lab_fail "unexpected log file path $log"
  [ "$(head -c 3 "$log" | od -An -tx1 | tr -d ' ')" = efbbbf ] || lab_fail "log lacks its byte-order mark"
  kill -PIPE "$EDGE_PID"
  sleep 0.5
  kill -0 "$EDGE_PID" || lab_fail "SIGPIPE ended the edge"
  kill "-$signal" "$EDGE_PID"
  edge_lab_expect_exit "$EDGE_PID" 15 0 "the edge stopped by SIG$signal"
  edge_lab_expect_in_order "$log" "INFO Linux forwarding and NAT rules applied for" \
    "INFO LarkSpire Edge Linux stopped."
  if grep -F "ERROR" "$log"; then
    lab_fail "a clean stop logged an error"
  fi
done

echo "--- a console that went away"
# The edge's standard output is a pipe whose reader has already exited.
prelude=$(lab_edge_prelude closed eth0)
mkdir -p "$LAB/work-closed"
( ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c \
    "$prelude; exec '$LARKSPIRE_EDGE' --config '$config' --workdir '$LAB/work-closed'" |
    true ) &
pipeline=$!
LAB_PIDS+=("$pipeline")
edge_lab_wait_log closed 20 "INFO Linux forwarding and NAT rules applied for"
edgePid=$(ip netns pids "$EDGE_NS" | while read -r pid; do
  [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$LARKSPIRE_EDGE")" ] && echo "$pid"
done | head -n 1)
[ -n "$edgePid" ] || lab_fail "cannot find the edge's process"
kill -TERM "$edgePid"
lab_wait_for 15 bash -c "! kill -0 $edgePid 2>/dev/null" || lab_fail "the edge did not stop"
wait "$pipeline" || true
grep -qF "INFO LarkSpire Edge Linux stopped." "$(edge_lab_log_file closed)" ||
  lab_fail "no stop line in the log of the edge without a console"

echo "PASS"
