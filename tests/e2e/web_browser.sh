#!/usr/bin/env bash
# The local web pages in a real browser: Debian's Chromium, headless, driven by playwright-core
# (tests/e2e/web/browser.mjs) against the web server (test harness) on a scratch configuration.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
export HARNESS=${LARKSPIRE_WEB_HARNESS:-$BUILD/tests/larkspire-web-harness}
export CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
MODULES=$BUILD/web-e2e
[ -x "$HARNESS" ] || fail "web harness not built: $HARNESS"
[ -x "$CHROMIUM" ] || fail "Chromium not found at $CHROMIUM (apt-get install --no-install-recommends chromium)"
command -v npm >/dev/null || fail "node and npm not found (apt-get install nodejs npm)"
if [ ! -f "$MODULES/node_modules/playwright-core/package.json" ]; then
  # Only the driver library: it never downloads a browser of its own.
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund \
    --prefix "$MODULES" "playwright-core@1.65.2" >/dev/null || fail "npm install playwright-core failed"
fi
SCRATCH=$(mktemp -d "$BUILD/web-browser.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
SCRATCH=$SCRATCH PLAYWRIGHT_MODULES="$MODULES/node_modules" node "$(dirname "$0")/web/browser.mjs" || fail "browser scenario failed"
