#!/usr/bin/env bash
# Forced updates offered to a fresh copy of the edge each: a trusted signature installs and
# restarts; more than 64 MiB changes nothing and start-up goes on. Nothing is left in the
# edge's /tmp, and traps planted there at fixed names change nothing.
source "$(dirname "$0")/../../scripts/lib/edge_lab.sh"
edge_lab_init
# The edge sees $LAB as /mnt (the lab may itself lie under /tmp) and $LAB/tmp as its /tmp,
# holding traps at the names an unwary updater would use: a rogue executable and a link to a
# victim.
mkdir -p "$LAB/bin" "$LAB/trusted" "$LAB/tree/pkg/bin" "$LAB/tmp/larkspire-edge-update/pkg"
chmod 1777 "$LAB/tmp"
printf '#!/bin/sh\necho "$*" >>/mnt/systemctl.calls\n' >"$LAB/bin/systemctl"
echo rogue >"$LAB/tmp/larkspire-edge-update/pkg/larkspire-edge"
echo victim >"$LAB/victim"
ln -s /mnt/victim "$LAB/tmp/larkspire-edge-update.tar.gz"  # as the edge sees it
tmp_entries() { find "$LAB/tmp" | sort; }
TMP_BEFORE=$(tmp_entries)

openssl genpkey -algorithm ed25519 -out "$LAB/hub.key" 2>/dev/null
"$LARKSPIRE_DEVHUB" --print-update-public-key "$LAB/hub.key" >"$LAB/trusted/hub.pem"
printf '#!/bin/sh\necho "$0 $*" >>/mnt/ran\necho "Usage: larkspire-edge"\n' \
  >"$LAB/tree/pkg/bin/larkspire-edge"
chmod 0755 "$LAB/bin/systemctl" "$LAB/tree/pkg/bin/larkspire-edge"
tar -czf "$LAB/good.tar.gz" -C "$LAB/tree" pkg
head -c $((65 * 1024 * 1024)) /dev/zero >"$LAB/huge.tar.gz"

devhub() {
  edge_lab_stop_devhub
  edge_lab_start_devhub --no-tun --no-udp --update-version 1.0.2 --update-force "$@"
}

# run_edge NAME: a fresh copy of the edge in $LAB/NAME trusting $LAB/trusted, until it ends (with no
# hardware interface, start-up stops) or 30 s pass. Sets EXE, LOG, STATUS.
run_edge() {
  local dir="$LAB/$1"
  mkdir -p "$dir/opt" "$dir/etc.up" "$dir/etc.wk"
  EXE="$dir/opt/larkspire-edge"
  cp "$LARKSPIRE_EDGE" "$EXE"
  edge_lab_write_config "$dir/edge.json"
  rm -f "$LAB/systemctl.calls" "$LAB/ran"
  STATUS=0
  timeout -s KILL 30 ip netns exec "$EDGE_NS" unshare -m --propagation private bash -c "set -e
    mount -t overlay etc -o 'lowerdir=/etc,upperdir=$dir/etc.up,workdir=$dir/etc.wk' /etc
    mkdir -p /etc/larkspire/update-keys
    mount --bind '$LAB/trusted' /etc/larkspire/update-keys
    mount --bind '$LAB' /mnt
    mount --bind /mnt/tmp /tmp
    exec env PATH=/mnt/bin:\"\$PATH\" /mnt/$1/opt/larkspire-edge --config /mnt/$1/edge.json \
      --workdir /mnt/$1/work" \
    >"$dir/stdout" 2>&1 || STATUS=$?
  LOG=$(find "$dir/work/Log" -name '*.log' 2>/dev/null | head -n 1)
  [ -n "$LOG" ] || lab_fail "$1: the edge wrote no log file: $(cat "$dir/stdout")"
  [ "$(tmp_entries)" = "$TMP_BEFORE" ] || lab_fail "$1: left under /tmp: $(tmp_entries)"
}

echo "== signed by a trusted key: installed"
devhub --update-package "$LAB/good.tar.gz" --update-signing-key "$LAB/hub.key"
run_edge installed
[ "$STATUS" = 0 ] || lab_fail "exit status $STATUS after an installed update"
[ "$(tail -n 1 "$LOG" | cut -d' ' -f2-)" = "WARN Forced update installed. Restarting service." ] ||
  lab_fail "the log does not end with the install line"
cmp -s "$EXE" "$LAB/tree/pkg/bin/larkspire-edge" && [ ! -e "$EXE.new" ] || lab_fail "not the package's executable"
lab_wait_for 5 eval '[ "$(cat "$LAB/systemctl.calls")" = "restart larkspire-edge" ]' || lab_fail "no restart asked"

echo "== larger than 64 MiB: refused"
# The offer brings its own digest and signature (slow to compute under sanitizers).
devhub --update-package "$LAB/huge.tar.gz" --update-signature "$(head -c 64 /dev/zero | base64 -w0)" \
  --update-sha256 "$(printf '0%.0s' $(seq 64))"
run_edge huge
grep -qF "ERROR Forced update refused: the package is larger than 64 MiB." "$LOG" || lab_fail "no refusal logged"
cmp -s "$EXE" "$LARKSPIRE_EDGE" && [ ! -e "$EXE.new" ] || lab_fail "the executable was changed"
[ ! -e "$LAB/ran" ] && [ ! -e "$LAB/systemctl.calls" ] || lab_fail "the package ran or a restart was asked"
[ "$(grep -cF "INFO Web config page listening on" "$LOG")" = 1 ] || lab_fail "start-up did not go on"
[ "$(cat "$LAB/victim")" = victim ] &&
  [ "$(cat "$LAB/tmp/larkspire-edge-update/pkg/larkspire-edge")" = rogue ] ||
  lab_fail "the update wrote through a planted link or into the planted folder"

echo "PASS: forced_update"
