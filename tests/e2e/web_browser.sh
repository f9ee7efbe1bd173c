#!/usr/bin/env bash
# The local web pages in Debian's headless Chromium, driven by playwright-core (web/browser.mjs).
source "$(dirname "$0")/../../scripts/lib/edge_lab.sh" # for lab_fail
BUILD=${LARKSPIRE_BUILD_DIR:?LARKSPIRE_BUILD_DIR is not set}
export HARNESS=${LARKSPIRE_WEB_HARNESS:-$BUILD/tests/larkspire-web-harness}
export CHROMIUM=${CHROMIUM:-/usr/bin/chromium} PLAYWRIGHT_MODULES=$BUILD/web-e2e/node_modules
[ -x "$HARNESS" ] && [ -x "$CHROMIUM" ] && command -v npm >/dev/null ||
  lab_fail "needs $HARNESS, $CHROMIUM (apt-get install --no-install-recommends chromium) and npm"
# Only the driver library: it never downloads a browser of its own.
[ -f "$PLAYWRIGHT_MODULES/playwright-core/package.json" ] || PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
  npm install --silent --no-audit --no-fund --prefix "$BUILD/web-e2e" playwright-core@1.65.2 >/dev/null
SCRATCH=$(mktemp -d "$BUILD/web-browser.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
SCRATCH=$SCRATCH node "$(dirname "$0")/web/browser.mjs"
