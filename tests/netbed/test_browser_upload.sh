#!/usr/bin/env bash
# The upload page of a drop point in a real browser (see browser_upload.py); skipped without
# chromium or python3-websocket.
# Usage: test_browser_upload.sh <zumzum-dropbed>
[ -x /usr/bin/chromium ] || { echo "SKIPPED: chromium is not installed"; exit 77; }
/usr/bin/python3 -c 'import websocket' 2>/dev/null || { echo "SKIPPED: python3-websocket is not installed"; exit 77; }
exec /usr/bin/python3 "$(dirname "$0")/browser_upload.py" "$1" 120
