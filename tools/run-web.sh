#!/usr/bin/env bash
# Builds the updater for the browser and serves build/web on 127.0.0.1 (a
# secure context, so the page has WebHID) until Ctrl-C:
#   http://127.0.0.1:PORT/demo/   the demo, with the emulated unit and its panel
#   http://127.0.0.1:PORT/site/   the product page, for a real LINK-BOX or ORBICON
#
#   tools/run-web.sh [PORT]       (8000 when not given)
set -euo pipefail
cd "$(dirname "$0")/.."

port=${1:-8000}
tools/install-deps.sh
cmake --preset web >/dev/null
cmake --build --preset web
echo
echo "the demo:         http://127.0.0.1:${port}/demo/"
echo "the product page: http://127.0.0.1:${port}/site/"
echo "(open them in Chrome, Edge or Opera; Ctrl-C stops the server)"
exec python3 -m http.server --bind 127.0.0.1 --directory build/web "$port"
