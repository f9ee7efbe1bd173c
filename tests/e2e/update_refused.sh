#!/usr/bin/env bash
# Offers the edge must not or cannot install: each leaves the old executable byte for byte in
# place, logs why, requests no restart, lets start-up go on, and leaves nothing under /tmp.
source "$(dirname "$0")/lib/update.sh"

upd_init
upd_make_package good good
upd_make_package noexe noexe
upd_make_package badhelp badhelp
upd_make_package broken broken

# name | devhub options | expected log line
while IFS='|' read -r name options expected; do
  [ -n "$name" ] || continue
  echo "== $name"
  # shellcheck disable=SC2086 # the options are words on purpose
  upd_start_hub ${options//@/$UPD/}
  upd_run_edge "$name"
  upd_expect_log "$expected"
  upd_expect_kept
  upd_expect_tmp_clean
done <<'CASES'
equal-version|--update-version 1.0.1 --update-force --update-package @good.tar.gz|INFO Update check OK. Current version 1.0.1.
older-version|--update-version 1.0.0 --update-force --update-package @good.tar.gz|INFO Update check OK. Current version 1.0.1.
optional|--update-version 1.0.2 --update-package @good.tar.gz|INFO Update check OK. Current version 1.0.1.
no-offer||INFO Update check OK. Current version 1.0.1.
missing-download|--update-version 1.0.2 --update-force --update-package @absent.tar.gz|ERROR Forced update download failed: /downloads/larkspire-edge.tar.gz
broken-archive|--update-version 1.0.2 --update-force --update-package @broken.tar.gz|ERROR Forced update package extraction failed.
no-executable|--update-version 1.0.2 --update-force --update-package @noexe.tar.gz|ERROR Forced update install command failed.
checksum-mismatch|--update-version 1.0.2 --update-force --update-package @good.tar.gz --update-sha256 0000000000000000000000000000000000000000000000000000000000000000|ERROR Forced update checksum mismatch.
fails-help|--update-version 1.0.2 --update-force --update-package @badhelp.tar.gz|ERROR Forced update install command failed.
CASES

echo "== no Hub at all"
upd_stop_hub
upd_run_edge no-hub
upd_expect_log "WARN Update check exception: "
cmp -s "$UPD_EXE" "$UPD_ORIGINAL" || upd_fail "the executable was changed"
echo "PASS: update_refused"
