#!/usr/bin/env bash
# The reference service's pages (sign-in, dashboard, account assignment) in headless chromium,
# driven by the dashboard's browser test.
set -euo pipefail
cmake --build "$BUILD" --target tarvo-service >/dev/null
/usr/bin/python3 "$SRC/tests/service/dashboard_browser.py" "$BUILD/service/tarvo-service" "$OUT"
