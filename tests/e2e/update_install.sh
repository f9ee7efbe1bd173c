#!/usr/bin/env bash
# A forced offer of a newer version replaces the running copy of the edge with the file the
# package holds in a sub-directory, asks for a service restart and ends the process with
# status 0 without starting anything. Traps planted at fixed /tmp names change nothing, and
# the attempt leaves nothing under /tmp.
source "$(dirname "$0")/lib/update.sh"

upd_init
upd_plant /tmp/larkspire-edge-update dir
upd_plant /tmp/larkspire-edge-update.tar.gz link
planted_dir=$(find /tmp/larkspire-edge-update -type f -exec cat {} + 2>/dev/null || true)

upd_make_package good good
upd_start_hub --update-version 1.0.2 --update-force --update-package "$UPD/good.tar.gz"
upd_run_edge forced

[ "$UPD_STATUS" = 0 ] || upd_fail "exit status $UPD_STATUS after an installed update"
upd_expect_log "WARN Forced update found: 1.0.2. Downloading package."
upd_expect_log "WARN Forced update installed. Restarting service."
upd_expect_no_log "LarkSpire Edge Linux stopped."
[ "$(tail -n 1 "$UPD_LOG" | cut -d' ' -f2-)" = "WARN Forced update installed. Restarting service." ] ||
  upd_fail "the log goes on after the install line"
cmp -s "$UPD_EXE" "$UPD/tree-good/pkg/bin/larkspire-edge" ||
  upd_fail "the executable is not the package's file"
[ -x "$UPD_EXE" ] || upd_fail "the new executable is not executable"
[ ! -e "$UPD_EXE.new" ] || upd_fail "$UPD_EXE.new was left behind"

# The restart runs in the background and may come a moment after the exit.
for _ in $(seq 1 50); do
  [ -s "$UPD/systemctl.calls" ] && break
  sleep 0.1
done
[ "$(cat "$UPD/systemctl.calls" 2>/dev/null)" = "restart larkspire-edge" ] ||
  upd_fail "no service restart was requested"

[ "$(cat "$UPD/victim" 2>/dev/null || echo victim)" = victim ] || upd_fail "the update wrote through a planted link"
[ "$(find /tmp/larkspire-edge-update -type f -exec cat {} + 2>/dev/null || true)" = "$planted_dir" ] ||
  upd_fail "the planted /tmp/larkspire-edge-update changed"
upd_expect_tmp_clean
echo "PASS: update_install"
