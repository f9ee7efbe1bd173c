#!/usr/bin/env bash
# Installation: the Debian package in a scratch root (the configuration 0600, kept until purge),
# its maintainer scripts under systemd, the unit, and the agent's duties under its capabilities.
source "$(dirname "$0")/../../scripts/lib/edge_lab.sh" # for lab_fail
BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
SOURCE=${LARKSPIRE_SOURCE_DIR:?LARKSPIRE_SOURCE_DIR is not set}
EDGE=${LARKSPIRE_EDGE:?LARKSPIRE_EDGE is not set}
UNIT=$SOURCE/packaging/larkspire-edge.service
[ "$(id -u)" = 0 ] || lab_fail "this scenario needs root (a scratch root owned by root, namespaces)"
type -P cpack dpkg dpkg-deb systemd-analyze setpriv >/dev/null || lab_fail "a packaging tool is missing"
T=$(mktemp -d "$BUILD/install-test.XXXXXX")
trap 'rm -rf "$T"' EXIT

echo "== the package: install, reinstall, remove and purge in a scratch root"
cpack --config "$BUILD/CPackConfig.cmake" -B "$T/out" >"$T/cpack.log" 2>&1 || lab_fail "cpack: $(cat "$T/cpack.log")"
DEB=$(ls "$T"/out/larkspire-edge_*.deb | head -n 1)
# dpkg must never own the operator's configuration or keys, or an upgrade could replace them.
! dpkg-deb -c "$DEB" | grep -v '^d' | grep -q ' \./etc/' || lab_fail "package ships files under /etc"
[[ "$(dpkg-deb -f "$DEB" Depends)" == *iproute2*iptables* ]] || lab_fail "Depends lacks iproute2 or iptables"
ROOT=$T/root
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status" "$ROOT/var/lib/dpkg/available"
# Maintainer scripts run on this machine with DPKG_ROOT set; they must touch only the root.
scratch_dpkg() {
  dpkg --root="$ROOT" --force-script-chrootless --force-depends --log=/dev/null "$@" \
    >>"$T/dpkg.log" 2>&1 || lab_fail "dpkg $* failed: $(cat "$T/dpkg.log")"
}
CONFIG=$ROOT/etc/larkspire/edge.json
scratch_dpkg -i "$DEB"
[ "$(stat -c '%a %U' "$CONFIG")" = "600 root" ] || lab_fail "configuration mode $(stat -c '%a %U' "$CONFIG")"
cmp -s "$CONFIG" "$SOURCE/packaging/edge.json" || lab_fail "configuration differs from the default"
"$ROOT/opt/larkspire/edge/larkspire-edge" --help | grep -q '^Usage: larkspire-edge' || lab_fail "no agent"
cmp -s "$ROOT/usr/lib/systemd/system/larkspire-edge.service" "$UNIT" || lab_fail "no unit"
echo '{"serverUrl": "http://127.0.0.1:31080"}' >"$CONFIG"
cp -p "$CONFIG" "$T/edited.json"
scratch_dpkg -i "$DEB"
scratch_dpkg -r larkspire-edge
[ ! -e "$ROOT/opt/larkspire/edge/larkspire-edge" ] || lab_fail "remove left the executable"
cmp -s "$CONFIG" "$T/edited.json" && [ "$(stat -c %a "$CONFIG")" = 600 ] ||
  lab_fail "reinstall or remove changed the configuration"
scratch_dpkg -P larkspire-edge
[ ! -e "$CONFIG" ] || lab_fail "purge left the configuration"

echo "== maintainer scripts on a machine run by systemd"
# A systemd machine: /run/systemd/system, /etc and /usr as overlays, systemctl only records.
mkdir -p "$T/fake" "$T/control" "$T/etc.up" "$T/etc.wk" "$T/usr.up" "$T/usr.wk"
dpkg-deb -e "$DEB" "$T/control"
printf '#!/bin/sh\necho "$*" >>"%s/systemctl.calls"\n' "$T" >"$T/fake/systemctl"
chmod 0755 "$T/fake/systemctl"
unshare -m --propagation private bash -euc '
  mount -t overlay etc -o "lowerdir=/etc,upperdir=$1/etc.up,workdir=$1/etc.wk" /etc
  mount -t tmpfs run /run && mkdir -p /run/systemd/system
  mount -t overlay usr -o "lowerdir=/usr,upperdir=$1/usr.up,workdir=$1/usr.wk" /usr
  mkdir -p /usr/share/larkspire-edge && cp "$2" /usr/share/larkspire-edge/edge.json
  export PATH="$1/fake:$PATH"
  "$1/control/postinst" configure && "$1/control/prerm" remove && "$1/control/postrm" remove
' _ "$T" "$SOURCE/packaging/edge.json" || lab_fail "maintainer scripts failed under systemd"
[ "$(paste -sd, "$T/systemctl.calls")" = "daemon-reload,enable larkspire-edge.service,restart larkspire-edge.service,stop larkspire-edge.service,disable larkspire-edge.service,daemon-reload" ] ||
  lab_fail "systemctl calls were: $(cat "$T/systemctl.calls")"
[ "$(stat -c %a "$T/etc.up/larkspire/edge.json")" = 600 ] || lab_fail "postinst made no 0600 configuration"

echo "== the unit"
sed "s#^ExecStart=/opt/larkspire/edge/larkspire-edge #ExecStart=$EDGE #" "$UNIT" >"$T/larkspire-edge.service"
systemd-analyze verify --man=no "$T/larkspire-edge.service" >"$T/verify.out" 2>&1 || true
# verify reports unknown or misspelt directives as warnings and may still exit 0.
! grep -v -e "Failed to connect" -e "^$" "$T/verify.out" | grep -q . || lab_fail "verify: $(cat "$T/verify.out")"
value() { sed -n "s/^$1=//p" "$UNIT" | tail -n 1; }
exec_line=$(value ExecStart)
# Where the agent writes: the configuration (web page), logs and the executable (self-update).
for path in "$(dirname "$(sed 's/.*--config \([^ ]*\).*/\1/' <<<"$exec_line")")" \
  "$(sed 's/.*--workdir \([^ ]*\).*/\1/' <<<"$exec_line")" "$(dirname "${exec_line%% *}")"; do
  value ReadWritePaths | tr ' ' '\n' | grep -qx "$path" || lab_fail "$path is not among ReadWritePaths"
done
# These would take away the TUN device, the host's network, sysctl writes or root itself.
for directive in PrivateDevices PrivateNetwork ProtectKernelTunables PrivateUsers DynamicUser; do
  [ "$(value "$directive")" != yes ] || lab_fail "$directive=yes breaks the gateway"
done
[ -z "$(value User)" ] && value DeviceAllow | grep -q "^/dev/net/tun rw" &&
  value RestrictAddressFamilies | grep -q AF_NETLINK || lab_fail "root, the TUN device or netlink taken away"

echo "== privileged duties under the unit's capabilities"
# An update package whose files an ordinary user owns.
mkdir -p "$T/tree/pkg/bin" && cp "$EDGE" "$T/tree/pkg/bin/larkspire-edge"
tar --owner=1000 --group=1000 -czf "$T/package.tar.gz" -C "$T/tree" pkg
caps=$(value CapabilityBoundingSet | tr 'A-Z ' 'a-z\n' | sed 's/^cap_/+/' | paste -sd,)
unshare --mount --net --propagation private bash -euc '
  mount -t tmpfs run /run
  sed -n "s/^ExecStartPre=+//p" "$1" | while read -r command; do $command; done
  exec setpriv --bounding-set "-all,$2" --inh-caps -all --no-new-privs bash -euc "
    ip link set lo up
    ip tuntap add dev larkspire0 mode tun && ip link set dev larkspire0 up mtu 1400
    ip addr replace 100.79.255.1/32 dev larkspire0 && ip route replace 10.250.0.0/16 dev larkspire0
    sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0
    iptables -A FORWARD -i larkspire0 -o lo -j ACCEPT
    iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o lo -j MASQUERADE
    iptables-legacy -w 5 -A FORWARD -i larkspire0 -o lo -j ACCEPT
    ping -c 1 -W 2 127.0.0.1 >/dev/null
    update=\$(mktemp -d -p $3) && tar -xzf $3/package.tar.gz -C \$update && rm -rf \$update"
' _ "$UNIT" "$caps" "$T" >"$T/duties.out" 2>&1 || lab_fail "a duty failed under the unit's capabilities: $(cat "$T/duties.out")"
echo "PASS: install"
