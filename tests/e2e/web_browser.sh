#!/usr/bin/env bash
# The local web pages in a real browser: Debian's Chromium, headless, driven by playwright-core
# against the web server (test harness) on a scratch configuration. The restart the page asks
# for ends the process with status 0; the saved networks are the trimmed lines. Screenshots are
# kept in $LARKSPIRE_BUILD_DIR/web-screenshots.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
HARNESS=${LARKSPIRE_WEB_HARNESS:-$BUILD/tests/larkspire-web-harness}
CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
MODULES=$BUILD/web-e2e
[ -x "$HARNESS" ] || fail "web harness not built: $HARNESS"
[ -x "$CHROMIUM" ] || fail "Chromium not found at $CHROMIUM (apt-get install --no-install-recommends chromium)"
command -v npm >/dev/null || fail "node and npm not found (apt-get install nodejs npm)"
if [ ! -f "$MODULES/node_modules/playwright-core/package.json" ]; then
  # Only the driver library: it never downloads a browser of its own.
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund \
    --prefix "$MODULES" "playwright-core@1.65.2" >/dev/null || fail "npm install playwright-core failed"
fi

S=$(mktemp -d "$BUILD/web-browser.XXXXXX")
trap 'kill -TERM "$HARNESS_PID" 2>/dev/null || true; rm -rf "$S"' EXIT
cat >"$S/edge.json" <<'JSON'
{
  "serverUrl": "http://hub.larkspire.local:31080",
  "deviceNumber": "D-1001",
  "deviceSecret": "k7Qp2xR9vLm4",
  "deviceName": "Warehouse Edge",
  "networkInterfaceName": "eth0",
  "sharedNetworks": ["192.168.1.0/24","172.16.0.0/16"],
  "additionalSharedNetworks": ["172.16.0.0/16"],
  "webPort": 18080
}
JSON
printf '{"heartbeatAccepted": true, "message": "ok", "updatedAtUnix": %s}\n' "$(date +%s)" >"$S/state.json"
"$HARNESS" --config "$S/edge.json" --workdir "$S/work" --state "$S/state.json" \
  --port-file "$S/port" --health-sample 1 >"$S/harness.out" 2>&1 &
HARNESS_PID=$!
for _ in $(seq 100); do [ -s "$S/port" ] && break; sleep 0.1; done
[ -s "$S/port" ] || fail "web harness did not start listening: $(cat "$S/harness.out")"

mkdir -p "$BUILD/web-screenshots"
BASE_URL="http://127.0.0.1:$(cat "$S/port")/" PLAYWRIGHT_MODULES="$MODULES/node_modules" \
  CHROMIUM="$CHROMIUM" SHOTS="$BUILD/web-screenshots" USER_DATA_DIR="$S/chromium" \
  node "$(dirname "$0")/web/browser.mjs" || fail "browser scenario failed"
for _ in $(seq 100); do kill -0 "$HARNESS_PID" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$HARNESS_PID" 2>/dev/null || fail "the restart request did not end the process"
status=0
wait "$HARNESS_PID" || status=$?
[ "$status" = 0 ] && grep -q "INFO Restart requested from web config page." "$S/harness.out" ||
  fail "status $status after the restart request, or no restart line"
grep -q '"additionalSharedNetworks": \["10.20.0.0/16","192.168.77.0/24"\],' "$S/edge.json" &&
  grep -q '"webPassword": "n3w-secret",' "$S/edge.json" || fail "saved: $(cat "$S/edge.json")"
echo "PASS: web pages in Chromium"
