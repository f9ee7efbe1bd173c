#!/usr/bin/env bash
# The systemd unit: it passes systemd-analyze verify, its sandbox directives are the ones the
# agent needs, and the agent's duties still succeed in a sandbox built from those directives
# (read-only system with the unit's writable paths, private /tmp, the unit's capability
# bounding set, no new privileges), inside private mount and network namespaces.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

SOURCE=${LARKSPIRE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
EDGE=${LARKSPIRE_EDGE:?LARKSPIRE_EDGE is not set}
UNIT=$SOURCE/packaging/larkspire-edge.service
[ "$(id -u)" = 0 ] || fail "this scenario needs root (namespaces, TUN, iptables)"
[ -f "$UNIT" ] || fail "unit file missing: $UNIT"
command -v systemd-analyze >/dev/null || fail "systemd-analyze not found (apt-get install systemd)"
command -v setpriv >/dev/null || fail "setpriv not found (apt-get install util-linux)"

S=$(mktemp -d "${LARKSPIRE_BUILD_DIR:-/tmp}/service-unit.XXXXXX")
trap 'rm -rf "$S"' EXIT
trap 'exit 130' INT TERM

# Every value of a directive, one per word, in the order the unit lists them.
values() {
  sed -n "s/^$1=//p" "$UNIT" | tr ' ' '\n' | sed '/^$/d'
}
value() {
  sed -n "s/^$1=//p" "$UNIT" | tail -n 1
}

echo "== systemd-analyze verify"
# The unit names the installed executable; point it at the built one.
sed "s#^ExecStart=/opt/larkspire/edge/larkspire-edge #ExecStart=$EDGE #" "$UNIT" \
  >"$S/larkspire-edge.service"
systemd-analyze verify --man=no "$S/larkspire-edge.service" >"$S/verify.out" 2>&1 ||
  fail "systemd-analyze verify: $(cat "$S/verify.out")"
# verify reports unknown or misspelt directives as warnings and still exits 0.
if grep -v -e "Failed to connect" -e "^$" "$S/verify.out" | grep -q .; then
  fail "systemd-analyze verify reported: $(cat "$S/verify.out")"
fi

echo "== directives"
exec_line=$(value ExecStart)
config=$(sed -n 's/.*--config \([^ ]*\).*/\1/p' <<<"$exec_line")
workdir=$(sed -n 's/.*--workdir \([^ ]*\).*/\1/p' <<<"$exec_line")
exe=${exec_line%% *}
[ -n "$config" ] && [ -n "$workdir" ] || fail "ExecStart lacks --config or --workdir: $exec_line"
[ "$(value ProtectSystem)" = strict ] || fail "ProtectSystem is not strict"
[ "$(value PrivateTmp)" = yes ] || fail "PrivateTmp is not yes"
[ "$(value NoNewPrivileges)" = yes ] || fail "NoNewPrivileges is not yes"
[ "$(value StateDirectory)" = larkspire ] || fail "StateDirectory is not larkspire"
writable=$(values ReadWritePaths | sed 's/^-//')
# Where the agent writes: configuration, logs under the working directory, the executable
# replaced by an update. The state lives in the StateDirectory (/var/lib/larkspire).
for path in "$(dirname "$config")" "$workdir" "$(dirname "$exe")"; do
  grep -qx "$path" <<<"$writable" || fail "$path is not among ReadWritePaths"
done
values DeviceAllow | paste -sd' ' | grep -q "^/dev/net/tun rw" || fail "DeviceAllow lacks /dev/net/tun rw"
for family in AF_UNIX AF_INET AF_NETLINK; do
  values RestrictAddressFamilies | grep -qx "$family" || fail "RestrictAddressFamilies lacks $family"
done
# These would take away the TUN device, the host's network, sysctl writes or root itself.
for directive in PrivateDevices PrivateNetwork ProtectKernelTunables PrivateUsers DynamicUser; do
  [ "$(value "$directive")" != yes ] || fail "$directive=yes breaks the gateway"
done
[ -z "$(value User)" ] || fail "the agent must run as root"
[ "$(value Restart)" = always ] || fail "Restart is not always"
[ "$(value TimeoutStopSec)" -ge 30 ] 2>/dev/null || fail "the unit leaves teardown too little time"
CAPS=$(values CapabilityBoundingSet)
[ -n "$CAPS" ] || fail "CapabilityBoundingSet is not set"
for cap in CAP_NET_ADMIN CAP_NET_RAW; do
  grep -qx "$cap" <<<"$CAPS" || fail "CapabilityBoundingSet lacks $cap"
done
for cap in CAP_SYS_ADMIN CAP_SYS_MODULE CAP_SYS_PTRACE CAP_SETUID; do
  ! grep -qx "$cap" <<<"$CAPS" || fail "CapabilityBoundingSet grants $cap"
done

echo "== duties in the sandbox"
# An update package as a developer's tar makes it: files owned by an ordinary user.
mkdir -p "$S/tree/pkg/bin"
printf '#!/bin/sh\necho "Usage: larkspire-edge"\n' >"$S/tree/pkg/bin/larkspire-edge"
chmod 0755 "$S/tree/pkg/bin/larkspire-edge"
tar --owner=1000 --group=1000 -czf "$S/package.tar.gz" -C "$S/tree" pkg

# The kinds of operation the agent's duties need (not its exact command lines, which its
# own tests pin): each must be allowed by the sandbox.
cat >"$S/duties.sh" <<'DUTIES'
set -euo pipefail
step() { echo "-- $*"; }
step "log file under the working directory"
mkdir -p "$WORKDIR/Log/202601" && echo "[00:00:00] INFO started" >>"$WORKDIR/Log/202601/run.log"
step "state file"
echo '{"heartbeatAccepted":true}' >/var/lib/larkspire/edge.state.json.tmp
mv /var/lib/larkspire/edge.state.json.tmp /var/lib/larkspire/edge.state.json
step "configuration save"
(umask 077 && echo '{"deviceName":"x"}' >"$CONFIG_DIR/edge.json.tmp")
mv "$CONFIG_DIR/edge.json.tmp" "$CONFIG_DIR/edge.json"
chmod 0600 "$CONFIG_DIR/edge.json"
step "TUN device, address and route"
ip link set lo up
ip tuntap add dev larkspire0 mode tun
ip link set dev larkspire0 up
ip link set dev larkspire0 mtu 1400
ip addr replace 100.79.255.1/32 dev larkspire0
ip route replace 10.250.0.0/16 dev larkspire0
step "forwarding and rp_filter"
sysctl -qw net.ipv4.ip_forward=1
sysctl -qw net.ipv4.conf.all.rp_filter=0
sysctl -qw net.ipv4.conf.larkspire0.rp_filter=0
step "iptables rules"
iptables -C FORWARD -i larkspire0 -o lo -j ACCEPT 2>/dev/null || iptables -A FORWARD -i larkspire0 -o lo -j ACCEPT
iptables -t nat -C POSTROUTING -s 10.250.0.0/16 -o lo -j MASQUERADE 2>/dev/null ||
  iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o lo -j MASQUERADE
iptables -C FORWARD -i larkspire0 -o lo -j ACCEPT
iptables -t nat -D POSTROUTING -s 10.250.0.0/16 -o lo -j MASQUERADE
step "iptables-legacy takes the xtables lock"
iptables-legacy -w 5 -A FORWARD -i larkspire0 -o lo -j ACCEPT
iptables-legacy -w 5 -D FORWARD -i larkspire0 -o lo -j ACCEPT
step "ping"
ping -c 1 -W 2 127.0.0.1 >/dev/null
step "self-update: unpack under /tmp, replace the executable"
update=$(mktemp -d /tmp/larkspire-edge-update.XXXXXX)
tar -xzf /tmp/package.tar.gz -C "$update"
cp "$update/pkg/bin/larkspire-edge" "$EXE_DIR/larkspire-edge.new"
mv "$EXE_DIR/larkspire-edge.new" "$EXE_DIR/larkspire-edge"
"$EXE_DIR/larkspire-edge" --help | grep -q "Usage: larkspire-edge"
rm -rf "$update"
step "the rest of the system stays read-only"
for path in /usr/bin/larkspire-probe /etc/larkspire-probe /var/lib/larkspire-probe /opt/larkspire-probe; do
  if touch "$path" 2>/dev/null; then
    echo "wrote $path outside the writable paths"
    exit 1
  fi
done
echo "all duties done"
DUTIES

SETPRIV_CAPS=$(tr '\n' ' ' <<<"$CAPS" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ *$//; s/ /,/g')
CONFIG_DIR=$(dirname "$config")
EXE_DIR=$(dirname "$exe")
export S EDGE UNIT CONFIG_DIR WORKDIR="$workdir" EXE_DIR WRITABLE="$writable" SETPRIV_CAPS
status=0
unshare --mount --net --propagation private bash -euo pipefail -c '
  # The host keeps its /etc, /var/lib and /opt: the sandbox writes into overlays in tmpfs.
  mkdir -p "$S/t"
  mount -t tmpfs scratch "$S/t"
  for dir in etc var/lib opt; do
    mkdir -p "$S/t/up/$dir" "$S/t/wk/$dir"
    mount -t overlay "sandbox-${dir//\//-}" \
      -o "lowerdir=/$dir,upperdir=$S/t/up/$dir,workdir=$S/t/wk/$dir" "/$dir"
  done
  # What the package and the service manager lay down before the start, with the privileged
  # ExecStartPre commands of the unit run on a private /run.
  mount -t tmpfs sandbox-run /run
  sed -n "s/^ExecStartPre=+//p" "$UNIT" | while read -r command; do $command; done
  mkdir -p "$CONFIG_DIR" "$WORKDIR" "$EXE_DIR" /var/lib/larkspire
  cp "$EDGE" "$EXE_DIR/larkspire-edge"
  echo "{}" >"$CONFIG_DIR/edge.json"
  cp "$S/package.tar.gz" "$S/duties.sh" "$S/t/"
  # ProtectSystem=strict with the writable paths and PrivateTmp: the writable paths are
  # bound onto themselves, then every other mount becomes read-only.
  for path in $WRITABLE /var/lib/larkspire; do
    # Optional ("-") entries may be missing; the others were made just above.
    [ ! -e "$path" ] || mount --bind "$path" "$path"
  done
  # The private /tmp is filled before it is moved into place: the build tree (and so $S)
  # may itself lie under /tmp, which the new mount hides.
  mkdir -p "$S/t/private-tmp"
  mount -t tmpfs private-tmp "$S/t/private-tmp"
  cp "$S/t/package.tar.gz" "$S/t/duties.sh" "$S/t/private-tmp/"
  mount --move "$S/t/private-tmp" /tmp
  mount -t tmpfs private-var-tmp /var/tmp
  keep=$(printf "%s\n" $WRITABLE /var/lib/larkspire /tmp /var/tmp)
  awk "{print \$5}" /proc/self/mountinfo | sort -u | while read -r point; do
    case "$point" in
      /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|*\\*) continue ;;
    esac
    grep -qx -- "$point" <<<"$keep" && continue
    mount -o remount,bind,ro "$point" 2>/dev/null || true
  done
  exec setpriv --bounding-set "-all,$SETPRIV_CAPS" --inh-caps -all --no-new-privs \
    bash /tmp/duties.sh
' >"$S/duties.out" 2>&1 || status=$?
cat "$S/duties.out"
[ "$status" = 0 ] || fail "a duty failed in the sandbox (status $status)"
grep -qx "all duties done" "$S/duties.out" || fail "the duties did not finish"
echo "PASS: service_unit"
