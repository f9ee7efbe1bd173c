#!/usr/bin/env bash
# Forced updates, as an attacker in the Hub's place would try them. Each offer is made by the
# development Hub to a fresh copy of the edge in a network namespace of its own, with its own
# /etc/larkspire/update-keys (a private mount namespace) and a stand-in systemctl that only
# records what it is asked. Every package's executable leaves a mark when it runs.
#
# A package signed by a trusted key replaces the executable, asks for a restart and ends the
# process with status 0. Every other offer leaves the old executable byte for byte, runs
# nothing from the package, logs why, and start-up goes on. No attempt leaves anything under
# /tmp, and traps planted at fixed /tmp names change nothing. A Hub reply of 300 MB leaves the
# edge's peak resident memory small.
set -euo pipefail

PORT=31080
fail() {
  echo "FAIL: $*" >&2
  [ -n "${LOG:-}" ] && [ -f "$LOG" ] && { echo "--- edge log:" >&2; cat "$LOG" >&2; }
  exit 1
}
[ "$(id -u)" = 0 ] || fail "this scenario needs root (namespaces)"
[ -x "${LARKSPIRE_EDGE:-}" ] && [ -x "${LARKSPIRE_DEVHUB:-}" ] || fail "LARKSPIRE_EDGE/DEVHUB unset"
S=$(mktemp -d "${LARKSPIRE_BUILD_DIR:-/tmp}/forced-update.XXXXXX")
NS="ls-$$-upd"
HUB_PID=
PLANTED=()
cleanup() {
  local status=$?
  [ -n "$HUB_PID" ] && kill -TERM "$HUB_PID" 2>/dev/null && { wait "$HUB_PID" 2>/dev/null || true; }
  ip netns pids "$NS" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
  ip netns del "$NS" 2>/dev/null || true
  local path
  for path in "${PLANTED[@]:-}"; do [ -n "$path" ] && rm -rf "$path"; done
  rm -rf "$S"
  return $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ip netns add "$NS" || fail "cannot create network namespace $NS"
ip -n "$NS" link set lo up
mkdir -p "$S/bin" "$S/trusted" "$S/none"
printf '#!/bin/sh\necho "$*" >>"%s/systemctl.calls"\n' "$S" >"$S/bin/systemctl"
chmod 0755 "$S/bin/systemctl"
tmp_entries() { find /tmp -maxdepth 1 -name 'larkspire-edge-update*' 2>/dev/null | sort; }
TMP_BEFORE=$(tmp_entries)

# Traps at the names an unwary updater would use: a folder with a rogue executable, and a
# link to a victim file. Left alone when something is already there.
if [ ! -e /tmp/larkspire-edge-update ]; then
  mkdir -p /tmp/larkspire-edge-update/pkg
  printf '#!/bin/sh\necho rogue\n' >/tmp/larkspire-edge-update/pkg/larkspire-edge
  chmod 0755 /tmp/larkspire-edge-update/pkg/larkspire-edge
  PLANTED+=(/tmp/larkspire-edge-update)
fi
if [ ! -e /tmp/larkspire-edge-update.tar.gz ] && [ ! -L /tmp/larkspire-edge-update.tar.gz ]; then
  echo victim >"$S/victim"
  ln -s "$S/victim" /tmp/larkspire-edge-update.tar.gz
  PLANTED+=(/tmp/larkspire-edge-update.tar.gz)
fi
planted_dir=$(find /tmp/larkspire-edge-update -type f -exec cat {} + 2>/dev/null || true)

# Keys: the Hub's, trusted by the edge, and another one.
openssl genpkey -algorithm ed25519 -out "$S/hub.key" 2>/dev/null
openssl genpkey -algorithm ed25519 -out "$S/other.key" 2>/dev/null
"$LARKSPIRE_DEVHUB" --print-update-public-key "$S/hub.key" >"$S/trusted/hub.pem"
cmp -s "$S/trusted/hub.pem" <(openssl pkey -in "$S/hub.key" -pubout) ||
  fail "the devhub printed another public key than openssl"

# package NAME KIND: $S/NAME.tar.gz. good: pkg/bin/larkspire-edge answers --help; noexe: no
# executable; badhelp: fails --help; broken: not an archive. Each executable marks $S/ran.
package() {
  local name=$1 tree="$S/tree-$1" exe
  mkdir -p "$tree/pkg/bin"
  exe="$tree/pkg/bin/larkspire-edge"
  case "$2" in
    good) printf '#!/bin/sh\necho "$0 $*" >>"%s/ran"\necho "Usage: larkspire-edge"\n' "$S" >"$exe" ;;
    noexe) echo "nothing to install" >"$tree/pkg/README" ;;
    badhelp) printf '#!/bin/sh\necho "$0 $*" >>"%s/ran"\nexit 2\n' "$S" >"$exe" ;;
    broken) head -c 4096 /dev/urandom >"$S/$name.tar.gz"; return 0 ;;
  esac
  [ -f "$exe" ] && chmod 0755 "$exe"
  tar -czf "$S/$name.tar.gz" -C "$tree" pkg
}
package good good
package other good
echo "other bytes" >"$S/tree-other/pkg/README" && tar -czf "$S/other.tar.gz" -C "$S/tree-other" pkg
package noexe noexe
package badhelp badhelp
package broken broken
head -c $((65 * 1024 * 1024)) /dev/zero >"$S/huge.tar.gz"
# What `openssl pkeyutl` makes is what the edge takes; here over other bytes than offered.
openssl pkeyutl -sign -rawin -inkey "$S/hub.key" -in "$S/other.tar.gz" | base64 -w0 >"$S/other.sig"

start_hub() {
  [ -n "$HUB_PID" ] && { kill -TERM "$HUB_PID"; wait "$HUB_PID" || true; HUB_PID=; }
  ip netns exec "$NS" "$@" >>"$S/hub.out" 2>&1 &
  HUB_PID=$!
  for _ in $(seq 1 100); do
    ip netns exec "$NS" bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT" 2>/dev/null && return 0
    kill -0 "$HUB_PID" 2>/dev/null || fail "the Hub exited: $(cat "$S/hub.out")"
    sleep 0.1
  done
  fail "the Hub did not start listening"
}
devhub() {
  start_hub "$LARKSPIRE_DEVHUB" --no-tun --no-udp --listen 127.0.0.1 --port "$PORT" \
    --data "$S/devices.json" "$@"
}

# run_edge NAME KEYS [WRAPPER...]: a fresh copy of the edge in $S/NAME with KEYS ($S/trusted
# or $S/none) as its key folder, until it ends by itself (an edge that goes on with start-up
# finds no hardware interface in the namespace and stops) or 30 s pass. Sets EXE, LOG, STATUS.
run_edge() {
  local dir="$S/$1" keys=$2
  shift 2
  mkdir -p "$dir/opt" "$dir/work" "$dir/etc.up" "$dir/etc.wk"
  EXE="$dir/opt/larkspire-edge"
  cp "$LARKSPIRE_EDGE" "$EXE"
  printf '{"serverUrl": "http://127.0.0.1:%s", "webPort": 18080}\n' "$PORT" >"$dir/edge.json"
  chmod 0600 "$dir/edge.json"
  rm -f "$S/systemctl.calls" "$S/ran"
  STATUS=0
  timeout -s KILL 30 ip netns exec "$NS" unshare -m --propagation private bash -c "set -e
    mount -t overlay etc -o 'lowerdir=/etc,upperdir=$dir/etc.up,workdir=$dir/etc.wk' /etc
    mkdir -p /etc/larkspire/update-keys
    mount --bind '$keys' /etc/larkspire/update-keys
    exec env PATH='$S/bin':\"\$PATH\" $* '$EXE' --config '$dir/edge.json' --workdir '$dir/work'" \
    >"$dir/stdout" 2>&1 || STATUS=$?
  LOG=$(find "$dir/work/Log" -name '*.log' 2>/dev/null | head -n 1)
  [ -n "$LOG" ] || fail "$1: the edge wrote no log file: $(cat "$dir/stdout")"
}
expect_log() { grep -qF -e "$1" "$LOG" || fail "log lacks: $1"; }
expect_tmp_clean() {
  local now path
  now=$(tmp_entries)
  for path in "${PLANTED[@]:-}"; do now=$(grep -vxF -e "$path" <<<"$now" || true); done
  [ "$now" = "$TMP_BEFORE" ] || fail "left under /tmp: $now"
}

echo "== signed by a trusted key: installed"
devhub --update-version 1.0.2 --update-force --update-package "$S/good.tar.gz" \
  --update-signing-key "$S/hub.key"
run_edge installed "$S/trusted"
[ "$STATUS" = 0 ] || fail "exit status $STATUS after an installed update"
expect_log "WARN Forced update found: 1.0.2. Downloading package."
[ "$(tail -n 1 "$LOG" | cut -d' ' -f2-)" = "WARN Forced update installed. Restarting service." ] ||
  fail "the log does not end with the install line"
cmp -s "$EXE" "$S/tree-good/pkg/bin/larkspire-edge" || fail "the executable is not the package's"
[ -x "$EXE" ] && [ ! -e "$EXE.new" ] || fail "not executable, or $EXE.new left behind"
for _ in $(seq 1 50); do [ -s "$S/systemctl.calls" ] && break; sleep 0.1; done
[ "$(cat "$S/systemctl.calls" 2>/dev/null)" = "restart larkspire-edge" ] || fail "no restart asked"
expect_tmp_clean

# name | devhub options (@ stands for the scratch folder) | key folder | expected log line
refused="ERROR Forced update refused: no valid signature."
check_ok="INFO Update check OK. Current version 1.0.1."
zeros=$(printf '0%.0s' $(seq 64))
# The 65 MiB offer names its digest and signature, so the Hub need not compute them (slow
# in a sanitizer build): the size alone must refuse it, before either is looked at.
while IFS='|' read -r name options keys expected; do
  echo "== $name"
  # shellcheck disable=SC2086 # the options are words on purpose
  devhub ${options//@/$S/}
  run_edge "$name" "$S/$keys"
  expect_log "$expected"
  cmp -s "$EXE" "$LARKSPIRE_EDGE" || fail "the executable was changed"
  [ ! -e "$EXE.new" ] || fail "a half-installed $EXE.new was left"
  case "$name" in
    fails-help) ;;  # signed and unpacked: its --help is the check that fails
    *) [ ! -e "$S/ran" ] || fail "something from the package ran: $(cat "$S/ran")" ;;
  esac
  [ ! -e "$S/systemctl.calls" ] || fail "a restart was asked: $(cat "$S/systemctl.calls")"
  verdict=$(grep -nF -e "$expected" "$LOG" | tail -n 1 | cut -d: -f1)
  [ "$(wc -l <"$LOG")" -gt "$verdict" ] || fail "start-up did not go on after the update check"
  expect_tmp_clean
done <<CASES
unsigned|--update-version 1.0.2 --update-force --update-package @good.tar.gz|trusted|$refused
another key|--update-version 1.0.2 --update-force --update-package @good.tar.gz --update-signing-key @other.key|trusted|$refused
other bytes|--update-version 1.0.2 --update-force --update-package @good.tar.gz --update-signature $(cat "$S/other.sig")|trusted|$refused
no key installed|--update-version 1.0.2 --update-force --update-package @good.tar.gz --update-signing-key @hub.key|none|ERROR Forced update refused: no update key installed.
65 MiB|--update-version 1.0.2 --update-force --update-package @huge.tar.gz --update-signature $(cat "$S/other.sig") --update-sha256 $zeros|trusted|ERROR Forced update refused: the package is larger than 64 MiB.
checksum mismatch|--update-version 1.0.2 --update-force --update-package @good.tar.gz --update-signing-key @hub.key --update-sha256 $zeros|trusted|ERROR Forced update checksum mismatch.
broken archive|--update-version 1.0.2 --update-force --update-package @broken.tar.gz --update-signing-key @hub.key|trusted|ERROR Forced update package extraction failed.
no executable|--update-version 1.0.2 --update-force --update-package @noexe.tar.gz --update-signing-key @hub.key|trusted|ERROR Forced update install command failed.
fails-help|--update-version 1.0.2 --update-force --update-package @badhelp.tar.gz --update-signing-key @hub.key|trusted|ERROR Forced update install command failed.
missing download|--update-version 1.0.2 --update-force --update-package @absent.tar.gz --update-signature $(cat "$S/other.sig")|trusted|ERROR Forced update download failed: /downloads/larkspire-edge.tar.gz
equal version|--update-version 1.0.1 --update-force --update-package @good.tar.gz --update-signing-key @hub.key|trusted|$check_ok
optional|--update-version 1.0.2 --update-package @good.tar.gz --update-signing-key @hub.key|trusted|$check_ok
no offer||trusted|$check_ok
CASES

[ "$(cat "$S/victim" 2>/dev/null || echo victim)" = victim ] || fail "the update wrote through a planted link"
[ "$(find /tmp/larkspire-edge-update -type f -exec cat {} + 2>/dev/null || true)" = "$planted_dir" ] ||
  fail "the planted /tmp/larkspire-edge-update changed"

# Peak resident memory (the kernel's high-water mark, as wait4 reports it, in KiB) of an
# edge whose update check gets a small reply, then one of 300 MB; printed after its output.
cat >"$S/peak.py" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:])
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
echo "== a 300 MB reply"
devhub
run_edge small-reply "$S/trusted" python3 "$S/peak.py"
start_hub python3 "$(dirname "$0")/lib/fault_hub.py" huge 127.0.0.1 "$PORT" "$S/huge.count"
run_edge huge-reply "$S/trusted" python3 "$S/peak.py"
expect_log "WARN Update check exception: Hub reply too large."
expect_log "INFO Web config page listening on"
small=$(tail -n 1 "$S/small-reply/stdout") huge=$(tail -n 1 "$S/huge-reply/stdout")
echo "peak resident memory: $small KiB with a small reply, $huge KiB with a 300 MB one"
[ $((huge - small)) -lt 8192 ] || fail "the 300 MB reply grew the edge by $((huge - small)) KiB"
if ! ldd "$LARKSPIRE_EDGE" | grep -q libasan; then
  [ "$huge" -lt 32768 ] || fail "peak resident memory $huge KiB is not under 32 MiB"
fi
echo "PASS: forced_update"
