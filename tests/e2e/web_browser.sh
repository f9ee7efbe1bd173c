#!/usr/bin/env bash
# The local web pages in a real browser: Debian's Chromium, headless, driven by playwright-core
# against the web server (test harness) on a scratch configuration. Screenshots are kept in
# $LARKSPIRE_BUILD_DIR/web-screenshots.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
HARNESS=${LARKSPIRE_WEB_HARNESS:-$BUILD/tests/larkspire-web-harness}
SOURCE=${LARKSPIRE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
PLAYWRIGHT_VERSION=1.65.2
MODULES="$BUILD/web-e2e"
SHOTS="$BUILD/web-screenshots"

[ -x "$HARNESS" ] || fail "web harness not built: $HARNESS"
[ -x "$CHROMIUM" ] || fail "Chromium not found at $CHROMIUM (apt-get install --no-install-recommends chromium)"
command -v node >/dev/null || fail "node not found (apt-get install nodejs npm)"
command -v npm >/dev/null || fail "npm not found (apt-get install npm)"

if [ ! -f "$MODULES/node_modules/playwright-core/package.json" ]; then
  # Only the driver library: it never downloads a browser of its own.
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund \
    --prefix "$MODULES" "playwright-core@$PLAYWRIGHT_VERSION" >/dev/null ||
    fail "npm install playwright-core failed"
fi

S=$(mktemp -d "$BUILD/web-browser.XXXXXX")
HARNESS_PID=
cleanup() {
  local status=$?
  if [ -n "$HARNESS_PID" ] && kill -0 "$HARNESS_PID" 2>/dev/null; then
    kill -TERM "$HARNESS_PID" 2>/dev/null || true
    wait "$HARNESS_PID" 2>/dev/null || true
  fi
  rm -rf "$S"
  return $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cat >"$S/edge.json" <<'JSON'
{
  "serverUrl": "http://hub.larkspire.local:31080",
  "deviceNumber": "D-1001",
  "deviceSecret": "k7Qp2xR9vLm4",
  "deviceName": "Warehouse Edge",
  "networkInterfaceName": "eth0",
  "sharedNetworks": ["192.168.1.0/24","172.16.0.0/16"],
  "additionalSharedNetworks": ["172.16.0.0/16"],
  "webUsername": "admin",
  "webPassword": "admin",
  "webBindAddress": "127.0.0.1",
  "webPort": 18080
}
JSON
printf '{\n  "heartbeatAccepted": true,\n  "message": "ok",\n  "updatedAtUnix": %s\n}\n' \
  "$(date +%s)" >"$S/edge.state.json"

"$HARNESS" --config "$S/edge.json" --workdir "$S/work" --state "$S/edge.state.json" \
  --port-file "$S/port" --health-sample 1 >"$S/harness.out" 2>&1 &
HARNESS_PID=$!
for _ in $(seq 100); do
  [ -s "$S/port" ] && break
  kill -0 "$HARNESS_PID" 2>/dev/null || fail "web harness ended early: $(cat "$S/harness.out")"
  sleep 0.1
done
[ -s "$S/port" ] || fail "web harness did not start listening"
PORT=$(cat "$S/port")

mkdir -p "$SHOTS"
BASE_URL="http://127.0.0.1:$PORT/" PLAYWRIGHT_MODULES="$MODULES/node_modules" CHROMIUM="$CHROMIUM" \
  SHOTS="$SHOTS" USER_DATA_DIR="$S/chromium" \
  node "$SOURCE/tests/e2e/web/browser.mjs" || fail "browser scenario failed"

# Restart Service ends the process by itself, with status 0.
for _ in $(seq 100); do
  kill -0 "$HARNESS_PID" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$HARNESS_PID" 2>/dev/null && fail "the restart request did not end the process"
status=0
wait "$HARNESS_PID" || status=$?
HARNESS_PID=
[ "$status" = 0 ] || fail "process ended with status $status after the restart request"
grep -q "INFO Restart requested from web config page." "$S/harness.out" ||
  fail "restart line missing from the log"

grep -q '"additionalSharedNetworks": \["10.20.0.0/16","192.168.77.0/24"\],' "$S/edge.json" ||
  fail "saved networks are not the trimmed lines: $(cat "$S/edge.json")"
grep -q '"webPassword": "n3w-secret",' "$S/edge.json" || fail "password change was not saved"

echo "PASS: web pages in Chromium (screenshots in $SHOTS)"
