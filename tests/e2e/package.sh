#!/usr/bin/env bash
# Builds the Debian packages, checks their contents and modes, and installs the agent's
# package into a scratch root: the default configuration must land readable by root alone,
# survive a reinstall unchanged, stay on remove and go on purge. A plain `cmake --install`
# into a scratch directory must follow the same rule for the configuration.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
SOURCE=${LARKSPIRE_SOURCE_DIR:?LARKSPIRE_SOURCE_DIR is not set}
[ "$(id -u)" = 0 ] || fail "installing into a scratch root as its owner needs root"
for tool in cpack dpkg dpkg-deb; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

T=$(mktemp -d "$BUILD/package-test.XXXXXX")
trap 'rm -rf "$T"' EXIT
host_etc_before=$(ls -d /etc/larkspire 2>/dev/null || true)

echo "== build the packages"
cpack --config "$BUILD/CPackConfig.cmake" -B "$T/out" >"$T/cpack.log" 2>&1 ||
  { cat "$T/cpack.log" >&2; fail "cpack failed"; }
DEB=$(ls "$T"/out/larkspire-edge_*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || fail "no larkspire-edge package was built"

echo "== contents and modes"
dpkg-deb -c "$DEB" | awk '{print $1, $2, $6}' >"$T/contents"
expect_entry() {
  grep -qxF -e "$1" "$T/contents" || { cat "$T/contents" >&2; fail "package lacks: $1"; }
}
expect_entry "-rwxr-xr-x root/root ./opt/larkspire/edge/larkspire-edge"
expect_entry "-rw-r--r-- root/root ./usr/lib/systemd/system/larkspire-edge.service"
expect_entry "-rw-r--r-- root/root ./usr/share/larkspire-edge/edge.json"
expect_entry "-rw-r--r-- root/root ./usr/share/doc/larkspire-edge/install.md"
expect_entry "drwxr-xr-x root/root ./etc/larkspire/update-keys/"
# dpkg must never own the operator's configuration or keys, or an upgrade could replace them.
if grep -v '^d' "$T/contents" | grep -q '\./etc/'; then
  fail "package ships files under /etc"
fi

[ "$(dpkg-deb -f "$DEB" Package)" = larkspire-edge ] || fail "wrong package name"
depends=$(dpkg-deb -f "$DEB" Depends)
for needed in iproute2 iptables procps libc6; do
  case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
mkdir "$T/control"
dpkg-deb -e "$DEB" "$T/control"
for script in postinst prerm postrm; do
  [ "$(stat -c %a "$T/control/$script")" = 755 ] || fail "$script is not mode 0755"
done

# The unit itself is checked by service_unit.sh; here only that it is the one shipped.
dpkg-deb --fsys-tarfile "$DEB" | tar -xOf - ./usr/lib/systemd/system/larkspire-edge.service |
  cmp -s - "$SOURCE/packaging/larkspire-edge.service" || fail "the packaged unit differs from the source"

if [ -x "${LARKSPIRE_DEVHUB:-}" ]; then
  HUBDEB=$(ls "$T"/out/larkspire-devhub_*.deb 2>/dev/null | head -n 1)
  [ -n "$HUBDEB" ] || fail "no larkspire-devhub package was built"
  dpkg-deb -c "$HUBDEB" | grep -q ' \./usr/bin/larkspire-devhub$' || fail "devhub package lacks its binary"
  if dpkg-deb -c "$HUBDEB" | grep -q 'larkspire-edge'; then
    fail "the devhub package carries files of the agent"
  fi
fi

echo "== install into a scratch root"
ROOT="$T/root"
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status" "$ROOT/var/lib/dpkg/available"
# Maintainer scripts run on this machine with DPKG_ROOT set; they must touch only the root.
scratch_dpkg() {
  dpkg --root="$ROOT" --force-script-chrootless --force-depends \
    --log=/dev/null "$@" >>"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log" >&2; fail "dpkg $* failed"; }
}
CONFIG="$ROOT/etc/larkspire/edge.json"
scratch_dpkg -i "$DEB"
[ -f "$CONFIG" ] || fail "the default configuration was not created"
[ "$(stat -c '%a %U' "$CONFIG")" = "600 root" ] || fail "configuration mode is $(stat -c '%a %U' "$CONFIG")"
cmp -s "$CONFIG" "$SOURCE/packaging/edge.json" || fail "configuration differs from the default"
"$ROOT/opt/larkspire/edge/larkspire-edge" --help | grep -q '^Usage: larkspire-edge' ||
  fail "the installed agent does not run"

echo "== reinstall keeps the operator's configuration"
printf '{\n  "serverUrl": "http://127.0.0.1:31080",\n  "webPassword": "s3cret"\n}\n' >"$CONFIG"
chmod 0600 "$CONFIG"
cp -p "$CONFIG" "$T/edited.json"
scratch_dpkg -i "$DEB"
cmp -s "$CONFIG" "$T/edited.json" || fail "reinstall changed the configuration"
[ "$(stat -c %a "$CONFIG")" = 600 ] || fail "reinstall changed the configuration's mode"

echo "== remove keeps it, purge deletes it"
scratch_dpkg -r larkspire-edge
[ ! -e "$ROOT/opt/larkspire/edge/larkspire-edge" ] || fail "remove left the executable"
cmp -s "$CONFIG" "$T/edited.json" || fail "remove touched the configuration"
scratch_dpkg -P larkspire-edge
[ ! -e "$CONFIG" ] || fail "purge left the configuration"

echo "== maintainer scripts on a machine run by systemd"
# A private mount namespace stands in for such a machine: /run/systemd/system exists, /etc
# and /usr are overlays whose changes land in $T, and systemctl only records its calls.
mkdir -p "$T/fake/bin" "$T/etc.up" "$T/etc.wk" "$T/usr.up" "$T/usr.wk"
cat >"$T/fake/bin/systemctl" <<EOF
#!/bin/sh
echo "\$*" >>"$T/systemctl.calls"
EOF
chmod 0755 "$T/fake/bin/systemctl"
unshare -m --propagation private bash -euc '
  T=$1
  mount -t overlay etc -o "lowerdir=/etc,upperdir=$T/etc.up,workdir=$T/etc.wk" /etc
  mount -t tmpfs run /run
  mkdir -p /run/systemd/system
  mount -t overlay usr -o "lowerdir=/usr,upperdir=$T/usr.up,workdir=$T/usr.wk" /usr
  mkdir -p /usr/share/larkspire-edge
  cp "$2" /usr/share/larkspire-edge/edge.json
  export PATH="$T/fake/bin:$PATH"
  "$T/control/postinst" configure
  "$T/control/prerm" remove
  "$T/control/postrm" remove
' _ "$T" "$SOURCE/packaging/edge.json" || fail "maintainer scripts failed under systemd"
expected_calls="daemon-reload
enable larkspire-edge.service
restart larkspire-edge.service
stop larkspire-edge.service
disable larkspire-edge.service
daemon-reload"
[ "$(cat "$T/systemctl.calls" 2>/dev/null)" = "$expected_calls" ] ||
  fail "systemctl calls were: $(cat "$T/systemctl.calls" 2>/dev/null)"
[ "$(stat -c %a "$T/etc.up/larkspire/edge.json" 2>/dev/null)" = 600 ] ||
  fail "postinst did not create the configuration with mode 0600"

echo "== cmake --install into a scratch directory"
DEST="$T/destdir"
DESTDIR="$DEST" cmake --install "$BUILD" >"$T/install.log" 2>&1 ||
  { cat "$T/install.log" >&2; fail "cmake --install failed"; }
[ -x "$DEST/opt/larkspire/edge/larkspire-edge" ] || fail "cmake --install left out the agent"
[ -f "$DEST/usr/lib/systemd/system/larkspire-edge.service" ] || fail "cmake --install left out the unit"
[ "$(stat -c %a "$DEST/etc/larkspire/edge.json")" = 600 ] || fail "installed configuration is not 0600"
echo '{"serverUrl": "http://127.0.0.1:1"}' >"$DEST/etc/larkspire/edge.json"
cp -p "$DEST/etc/larkspire/edge.json" "$T/edited2.json"
DESTDIR="$DEST" cmake --install "$BUILD" >>"$T/install.log" 2>&1 || fail "second cmake --install failed"
cmp -s "$DEST/etc/larkspire/edge.json" "$T/edited2.json" || fail "cmake --install replaced the configuration"

[ "$(ls -d /etc/larkspire 2>/dev/null || true)" = "$host_etc_before" ] ||
  fail "the test changed /etc/larkspire on this machine"
echo "PASS: package"
