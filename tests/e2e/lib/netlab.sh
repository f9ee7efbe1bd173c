# Shared helpers for end-to-end scenarios in network namespaces. Source it; do not run it.
#
# Every name is prefixed with LAB_PREFIX (default "ls<pid>"), so scenarios running side by
# side never meet, and lab_cleanup (installed as an EXIT trap by lab_init) removes all of it.

set -euo pipefail

lab_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

lab_require_root() {
  [ "$(id -u)" = 0 ] || lab_fail "this scenario needs root (network namespaces, TUN, iptables)"
  ip netns list >/dev/null 2>&1 || lab_fail "cannot use network namespaces here"
}

# lab_init: creates a scratch directory $LAB and installs the cleanup trap.
lab_init() {
  lab_require_root
  LAB_PREFIX=${LAB_PREFIX:-ls$$}
  LAB=$(mktemp -d "${LARKSPIRE_BUILD_DIR:-/tmp}/lab.${LAB_PREFIX}.XXXXXX")
  LAB_NAMESPACES=()
  LAB_PIDS=()
  trap lab_cleanup EXIT
  trap 'exit 130' INT TERM
}

lab_cleanup() {
  local status=$?
  local pid ns
  for pid in "${LAB_PIDS[@]:-}"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
  done
  sleep 0.2
  for pid in "${LAB_PIDS[@]:-}"; do
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  done
  for ns in "${LAB_NAMESPACES[@]:-}"; do
    [ -n "$ns" ] || continue
    # Anything still running in the namespace would keep it alive.
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  if [ -n "${LAB:-}" ] && [ -d "$LAB" ]; then
    umount -R "$LAB"/mnt.* 2>/dev/null || true
    [ "${LAB_KEEP:-0}" = 1 ] || rm -rf "$LAB"
  fi
  return $status
}

# lab_ns NAME: prints the full name of the lab's namespace NAME.
lab_ns() { echo "${LAB_PREFIX}-$1"; }

# lab_netns NAME: creates namespace $(lab_ns NAME) with loopback up. Call it directly, not
# inside $(...): it records the namespace for the cleanup.
lab_netns() {
  local ns
  ns=$(lab_ns "$1")
  ip netns add "$ns"
  LAB_NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up
}

# lab_link NS1 IF1 NS2 IF2: a veth pair between two namespaces, named IF1 in NS1 and IF2 in
# NS2 (created under temporary names, then renamed, since the host may have an eth0).
lab_link() {
  local ns1=$1 if1=$2 ns2=$3 if2=$4 tmp1 tmp2
  tmp1="v$$a${RANDOM}"
  tmp2="v$$b${RANDOM}"
  ip link add "${tmp1:0:15}" netns "$ns1" type veth peer name "${tmp2:0:15}" netns "$ns2"
  ip -n "$ns1" link set "${tmp1:0:15}" name "$if1"
  ip -n "$ns2" link set "${tmp2:0:15}" name "$if2"
  ip -n "$ns1" link set "$if1" up
  ip -n "$ns2" link set "$if2" up
}

# lab_addr NS IF CIDR
lab_addr() { ip -n "$1" addr add "$3" dev "$2"; }

# Every wait of the lab is LAB_TIME_FACTOR times as long (default 1): a lab run in an emulated
# machine does the same work many times more slowly.
lab_seconds() { echo $(($1 * ${LAB_TIME_FACTOR:-1})); }

# lab_wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
lab_wait_for() {
  local deadline=$((SECONDS + $(lab_seconds "$1")))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# lab_edge_shell NS IFACES... : prints a bash prelude (to pass as `bash -c "$prelude; cmd"`
# inside `ip netns exec NS unshare -m --propagation private`) that
#   - makes each listed veth look like hardware (a read-only overlay adds a device/ entry),
#   - overlays /etc and /var/lib with writable layers under $LAB/<NS>, so the agent's
#     /etc/larkspire and /var/lib/larkspire land in the scratch directory.
# After the run, files the agent wrote are under $LAB/<NS>/varlib.up/ and $LAB/<NS>/etc.up/.
lab_edge_prelude() {
  local ns=$1
  shift
  local root="$LAB/$ns"
  mkdir -p "$root"/{priv,etc.up,etc.wk,varlib.up,varlib.wk}
  local script="set -e; mount -t tmpfs priv '$root/priv'"
  local ifname
  for ifname in "$@"; do
    script+="; mkdir -p '$root/priv/$ifname-extra/device'"
    script+="; mount -t overlay 'sys$ifname' -o 'lowerdir=$root/priv/$ifname-extra:/sys/devices/virtual/net/$ifname' /sys/devices/virtual/net/$ifname"
  done
  script+="; mount -t overlay etc -o 'lowerdir=/etc,upperdir=$root/etc.up,workdir=$root/etc.wk' /etc"
  script+="; mount -t overlay varlib -o 'lowerdir=/var/lib,upperdir=$root/varlib.up,workdir=$root/varlib.wk' /var/lib"
  echo "$script"
}

# lab_run_in_edge NS "IFACES" COMMAND-STRING: runs COMMAND-STRING (a bash string ending with
# `exec ...` to keep the PID) in NS inside a private mount namespace prepared as above.
lab_run_in_edge() {
  local ns=$1 ifaces=$2 command=$3 prelude
  # shellcheck disable=SC2086
  prelude=$(lab_edge_prelude "$ns" $ifaces)
  ip netns exec "$ns" unshare -m --propagation private bash -c "$prelude; $command"
}
