# shellcheck shell=bash
# Helpers for the self-update scenarios. Source it; do not run it.
#
# Each scenario runs the development Hub and a copy of the edge inside a network namespace of
# its own (so the edge can reach nothing but that Hub, and never touches this machine's
# network), with a stand-in systemctl on the PATH that only records what it was asked to do.
# The copy of the edge lives in a temporary directory and replaces itself there.

set -euo pipefail

UPD_PORT=31080

upd_fail() {
  echo "FAIL: $*" >&2
  if [ -n "${UPD_LOG:-}" ] && [ -f "$UPD_LOG" ]; then
    echo "--- edge log:" >&2
    cat "$UPD_LOG" >&2
  fi
  exit 1
}

# upd_init: scratch directory $UPD, namespace $UPD_NS, the stand-in systemctl, cleanup trap.
upd_init() {
  [ "$(id -u)" = 0 ] || upd_fail "this scenario needs root (network namespaces)"
  [ -x "${LARKSPIRE_EDGE:-}" ] || upd_fail "LARKSPIRE_EDGE does not name the built edge"
  [ -x "${LARKSPIRE_DEVHUB:-}" ] || upd_fail "LARKSPIRE_DEVHUB does not name the built devhub"
  UPD=$(mktemp -d "${LARKSPIRE_BUILD_DIR:-/tmp}/update-test.XXXXXX")
  UPD_NS="ls-$$-upd"
  UPD_HUB_PID=
  UPD_PLANTED=()
  trap upd_cleanup EXIT
  trap 'exit 130' INT TERM
  ip netns add "$UPD_NS" || upd_fail "cannot create network namespace $UPD_NS"
  ip -n "$UPD_NS" link set lo up
  mkdir -p "$UPD/bin"
  cat >"$UPD/bin/systemctl" <<EOF
#!/bin/sh
echo "\$*" >>"$UPD/systemctl.calls"
EOF
  chmod 0755 "$UPD/bin/systemctl"
  UPD_TMP_BEFORE=$(upd_tmp_entries)
}

upd_cleanup() {
  local status=$?
  upd_stop_hub
  ip netns pids "$UPD_NS" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
  ip netns del "$UPD_NS" 2>/dev/null || true
  local path
  for path in "${UPD_PLANTED[@]:-}"; do
    [ -n "$path" ] && rm -rf "$path"
  done
  [ -n "${UPD:-}" ] && rm -rf "$UPD"
  return $status
}

# Entries under /tmp that an update attempt could have left.
upd_tmp_entries() {
  find /tmp -maxdepth 1 -name 'larkspire-edge-update*' 2>/dev/null | sort
}

# upd_plant PATH KIND: leaves a trap at a fixed /tmp name that an unwary updater would use,
# unless something already exists there. KIND is "dir" (holding a rogue executable) or
# "link" (a symbolic link to a victim file).
upd_plant() {
  local path=$1 kind=$2
  [ -e "$path" ] || [ -L "$path" ] && return 0
  case "$kind" in
    dir)
      mkdir -p "$path/pkg"
      printf '#!/bin/sh\necho rogue\n' >"$path/pkg/larkspire-edge"
      chmod 0755 "$path/pkg/larkspire-edge"
      ;;
    link)
      echo "victim" >"$UPD/victim"
      ln -s "$UPD/victim" "$path"
      ;;
  esac
  UPD_PLANTED+=("$path")
}

# upd_make_package NAME KIND: writes $UPD/NAME.tar.gz.
#   good      pkg/bin/larkspire-edge, a program that answers --help
#   noexe     a package with only a README
#   badhelp   pkg/larkspire-edge, a program that fails --help
#   broken    not an archive at all
upd_make_package() {
  local name=$1 kind=$2 tree="$UPD/tree-$1"
  mkdir -p "$tree/pkg/bin"
  case "$kind" in
    good)
      printf '#!/bin/sh\n# larkspire-edge 9.9.9\necho "Usage: larkspire-edge"\nexit 0\n' \
        >"$tree/pkg/bin/larkspire-edge"
      chmod 0755 "$tree/pkg/bin/larkspire-edge"
      ;;
    noexe)
      echo "nothing to install" >"$tree/pkg/README"
      ;;
    badhelp)
      printf '#!/bin/sh\nexit 2\n' >"$tree/pkg/larkspire-edge"
      chmod 0755 "$tree/pkg/larkspire-edge"
      ;;
    broken)
      head -c 4096 /dev/urandom >"$UPD/$name.tar.gz"
      return 0
      ;;
  esac
  tar -czf "$UPD/$name.tar.gz" -C "$tree" pkg
}

# upd_start_hub ARGS...: the devhub in the namespace with the given update options.
upd_start_hub() {
  upd_stop_hub
  ip netns exec "$UPD_NS" "$LARKSPIRE_DEVHUB" --listen 127.0.0.1 --port "$UPD_PORT" \
    --data "$UPD/devices.json" "$@" >>"$UPD/devhub.out" 2>&1 &
  UPD_HUB_PID=$!
  for _ in $(seq 1 100); do
    if ip netns exec "$UPD_NS" bash -c "exec 3<>/dev/tcp/127.0.0.1/$UPD_PORT" 2>/dev/null; then
      return 0
    fi
    kill -0 "$UPD_HUB_PID" 2>/dev/null || { cat "$UPD/devhub.out" >&2; upd_fail "devhub exited"; }
    sleep 0.1
  done
  upd_fail "devhub did not start listening"
}

upd_stop_hub() {
  if [ -n "${UPD_HUB_PID:-}" ]; then
    kill -TERM "$UPD_HUB_PID" 2>/dev/null || true
    wait "$UPD_HUB_PID" 2>/dev/null || true
    UPD_HUB_PID=
  fi
}

# upd_run_edge NAME: a fresh copy of the edge in $UPD/NAME, started in the namespace. Sets
# UPD_EXE (the copy), UPD_ORIGINAL (its bytes before the start), UPD_STATUS and UPD_LOG.
# An edge that goes on with start-up after the update check is stopped with SIGTERM once it
# has logged past the check.
upd_run_edge() {
  local dir="$UPD/$1"
  mkdir -p "$dir/opt" "$dir/work"
  UPD_EXE="$dir/opt/larkspire-edge"
  UPD_ORIGINAL="$dir/original"
  cp "$LARKSPIRE_EDGE" "$UPD_EXE"
  cp "$LARKSPIRE_EDGE" "$UPD_ORIGINAL"
  printf '{\n  "serverUrl": "http://127.0.0.1:%s",\n  "webPort": 18080\n}\n' "$UPD_PORT" \
    >"$dir/edge.json"
  chmod 0600 "$dir/edge.json"
  rm -f "$UPD/systemctl.calls"
  ip netns exec "$UPD_NS" env PATH="$UPD/bin:$PATH" \
    "$UPD_EXE" --config "$dir/edge.json" --workdir "$dir/work" >"$dir/stdout" 2>&1 &
  local pid=$! waited=0
  UPD_LOG=
  while kill -0 "$pid" 2>/dev/null; do
    UPD_LOG=$(ls "$dir"/work/Log/*/*.log 2>/dev/null | head -n 1 || true)
    if [ -n "$UPD_LOG" ] && upd_past_update_check "$UPD_LOG"; then
      # Give start-up a moment to show itself in the log, then stop it.
      if [ "$waited" -ge 50 ]; then
        kill -TERM "$pid" 2>/dev/null || true
      fi
    fi
    if [ "$waited" -ge 600 ]; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
    waited=$((waited + 1))
    sleep 0.1
  done
  UPD_STATUS=0
  wait "$pid" || UPD_STATUS=$?
  UPD_LOG=$(ls "$dir"/work/Log/*/*.log 2>/dev/null | head -n 1 || true)
  [ -n "$UPD_LOG" ] || { cat "$dir/stdout" >&2; upd_fail "the edge wrote no log file"; }
}

# True once the log holds a verdict of the update check.
upd_past_update_check() {
  grep -qE 'Update check (OK|failed|exception)|Forced update (download failed|checksum mismatch|package extraction failed|install command failed|installed)' "$1"
}

# upd_expect_log TEXT: the log holds a line with TEXT.
upd_expect_log() {
  grep -qF -e "$1" "$UPD_LOG" || upd_fail "log lacks: $1"
}

upd_expect_no_log() {
  if grep -qF -e "$1" "$UPD_LOG"; then
    upd_fail "log unexpectedly holds: $1"
  fi
}

# The old executable is still there, byte for byte, and start-up went on past the check.
upd_expect_kept() {
  cmp -s "$UPD_EXE" "$UPD_ORIGINAL" || upd_fail "the executable was changed"
  [ ! -e "$UPD_EXE.new" ] || upd_fail "a half-installed $UPD_EXE.new was left"
  upd_expect_no_log "Forced update installed."
  local verdict
  verdict=$(grep -nE 'Update check OK|Forced update (download failed|checksum mismatch|package extraction failed|install command failed)' \
    "$UPD_LOG" | tail -n 1 | cut -d: -f1)
  [ -n "$verdict" ] || upd_fail "no verdict of the update check in the log"
  [ "$(wc -l <"$UPD_LOG")" -gt "$verdict" ] || upd_fail "start-up did not go on after the update check"
  [ ! -e "$UPD/systemctl.calls" ] || upd_fail "a restart was requested: $(cat "$UPD/systemctl.calls")"
}

# Nothing of an attempt is left under /tmp.
upd_expect_tmp_clean() {
  local now
  now=$(upd_tmp_entries)
  local planted
  for planted in "${UPD_PLANTED[@]:-}"; do
    now=$(printf '%s\n' "$now" | grep -vxF -e "$planted" || true)
  done
  [ "$now" = "$UPD_TMP_BEFORE" ] || upd_fail "left under /tmp: $now"
}
