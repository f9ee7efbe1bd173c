#!/usr/bin/env bash
# One round of every Hub fault against the real binaries: the Hub killed, frozen while
# traffic is pushed at it, replaced by a stand-in that answers garbage, closes mid-frame or
# sends a close frame. After each, traffic crosses again once the Hub is back, and the edge
# ends up holding as many descriptors and threads as before. (scripts/soak repeats this.)

source "$(dirname "$0")/lib/edge_lab.sh"
source "$(dirname "$0")/lib/soak.sh"
edge_lab_init
config=$LAB/edge.json
soak_write_config "$config"
edge_lab_start_devhub
edge_lab_start_relaying edge "$config"
sleep 2
read -r fds threads _ < <(soak_settle "$EDGE_PID" "$(soak_fds "$EDGE_PID")" "$(soak_threads "$EDGE_PID")" 0 || true)

for fault in kill stall garbage midframe close; do
  echo "--- $fault"
  case "$fault" in
    kill) soak_fault_kill ;;
    stall)
      soak_fault_stall edge
      [ "$SOAK_STALL_RESULT" = detected ] || lab_fail "the edge never gave up on the frozen Hub"
      ;;
    *) soak_fault_standin "$fault" ;;
  esac
  [ "${SOAK_STANDIN_MISSED:-0}" = 0 ] || lab_fail "the edge never reached the $fault stand-in"
  soak_hub_back "$fault"
  seconds=$(soak_time_to_resume 30) || lab_fail "no traffic after the $fault fault"
  echo "traffic resumed after $seconds s"
  kill -0 "$EDGE_PID" || lab_fail "the edge died"
done
now=$(soak_settle "$EDGE_PID" "$fds" "$threads" 15) ||
  lab_fail "descriptors/threads/RSS now $now, before $fds $threads"
edge_lab_stop_edge "$EDGE_PID"
echo "PASS"
