# Sourced by the script the kernel matrix's guest runs, in the host's file system (read-only
# over 9p, with the guest's own /proc, /sys, /dev and a tmpfs on /run). Gives the guest
# writable places like a real machine's, loads the modules the tests use, runs each test with
# its output on the console and a time limit, and ends with one summary line per test.

GUEST_RESULTS=()
GUEST_FAILED=0

# guest_prepare [PATH...]: writable /tmp, /etc, /var and /root, the modules the relay, the
# lab and the gateway's rules use, and loopback. Each PATH under the host's /tmp (a project
# cloned there, its build tree) stays reachable at the same place above the guest's own /tmp.
guest_prepare() {
  set -u
  mkdir -p /run/host-tmp
  mount --bind /tmp /run/host-tmp
  mount -t tmpfs -o mode=1777 tmp /tmp
  local keep
  for keep in "$@"; do
    case "$keep" in
      /tmp/*)
        mkdir -p "$keep"
        mount --bind "/run/host-tmp/${keep#/tmp/}" "$keep"
        ;;
    esac
  done
  mkdir -p /dev/pts /dev/shm
  mount -t devpts devpts /dev/pts
  mount -t tmpfs shm /dev/shm
  # Everything the tests and the gateway's rules may need; what this kernel builds in or
  # lacks is left out quietly (a test that misses it says so).
  local module
  for module in overlay tun veth bridge dummy nf_tables nft_chain_nat nft_compat nft_ct nft_nat \
    nft_masq nft_reject_inet nf_conntrack nf_nat x_tables ip_tables iptable_filter \
    iptable_nat iptable_mangle iptable_raw ip6_tables ip6table_filter ip6table_nat \
    ip6table_mangle xt_MASQUERADE xt_state xt_conntrack xt_TCPMSS xt_tcpudp xt_tcpmss \
    xt_comment xt_addrtype xt_mark xt_multiport xt_limit xt_physdev \
    ipt_REJECT nf_reject_ipv4 xt_LOG xt_nat; do
    modprobe "$module" || true
  done
  # An overlay's upper directory cannot lie on another overlay, so the layers live on the
  # tmpfs under /run, and the scratch directories of the tests on the tmpfs /tmp.
  local dir
  for dir in etc var root; do
    mkdir -p "/run/layers/$dir.up" "/run/layers/$dir.wk"
    mount -t overlay "$dir" \
      -o "lowerdir=/$dir,upperdir=/run/layers/$dir.up,workdir=/run/layers/$dir.wk" "/$dir"
  done
  ip link set lo up
  # The scenarios' time limits suit a real machine; emulated, each step takes longer.
  export LAB_TIME_FACTOR=3
  echo "kernel-matrix: guest on Linux $(uname -r), $(nproc) CPUs"
}

# guest_run NAME SECONDS COMMAND...: runs one test, remembering whether it passed. The time
# limit is the one for a real machine, times the lab's factor.
guest_run() {
  local name=$1 seconds=$(($2 * LAB_TIME_FACTOR)) status=0 started=$SECONDS
  shift 2
  echo "=== $name"
  timeout --kill-after=5 "$seconds" "$@" </dev/null || status=$?
  local result="ok"
  [ $status = 0 ] || { result="FAILED (status $status)"; GUEST_FAILED=1; }
  [ $status != 124 ] || result="FAILED (no end within $seconds s)"
  GUEST_RESULTS+=("$(printf '%-40s %s, %d s' "$name" "$result" $((SECONDS - started)))")
  echo "=== $name: $result"
}

# guest_finish: the summary; the script's exit status says whether all passed.
guest_finish() {
  echo "=== kernel $(uname -r):"
  printf '  %s\n' "${GUEST_RESULTS[@]}"
  exit $GUEST_FAILED
}
