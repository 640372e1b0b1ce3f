#!/usr/bin/env bash
# The parent's setup window (`tarvo manager`) showing a local sign-in page,
# on a private Xvfb with openbox. Writes $OUT/manager.png.
set -euo pipefail
: "${OUT:?}" "${BUILD:?}"
tmp="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# A stand-in for the service's sign-in page, on a free port.
mkdir -p "$tmp/site"
cat > "$tmp/site/Signin" <<'HTML'
<!doctype html>
<html><head><meta charset="utf-8"><title>Sign in</title></head>
<body style="margin:0;font-family:sans-serif;background:#eef2f7;color:#1d2733">
<div style="max-width:380px;margin:90px auto;background:#fff;border-radius:12px;padding:32px 36px;box-shadow:0 4px 18px rgba(0,0,0,.12)">
<h1 style="margin:0 0 6px;font-size:26px;color:#2a6fdb">Tarvo</h1>
<p style="margin:0 0 24px;color:#5b6675">Sign in to set up this computer</p>
<label style="font-size:13px">Email</label>
<input style="display:block;width:100%;box-sizing:border-box;margin:6px 0 16px;padding:10px;border:1px solid #c9d1db;border-radius:6px" value="parent@example.com">
<label style="font-size:13px">Password</label>
<input type="password" style="display:block;width:100%;box-sizing:border-box;margin:6px 0 24px;padding:10px;border:1px solid #c9d1db;border-radius:6px" value="secret">
<button style="width:100%;padding:11px;border:0;border-radius:6px;background:#2a6fdb;color:#fff;font-size:15px">Sign in</button>
</div></body></html>
HTML
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
python3 - "$port" "$tmp/site" >/dev/null 2>&1 <<'PY' &
import http.server, sys
root = sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k): super().__init__(*a, directory=root, **k)
    def guess_type(self, path): return "text/html; charset=utf-8"
    def log_message(self, *a): pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
PY
pids+=($!)

# A private X server with a window manager.
Xvfb -displayfd 5 -nolisten tcp -noreset -screen 0 1280x900x24 5>"$tmp/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$tmp/display")"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done

mkdir -p "$tmp/root/home"
TARVO_ROOT="$tmp/root" TARVO_PLATFORM='' XDG_STATE_HOME='' HOME="$tmp/root/home" TARVO_BASE_URL="http://127.0.0.1:$port/" \
  QT_QPA_PLATFORM=xcb "$BUILD/src/tarvo" manager >/dev/null 2>&1 &
pids+=($!)
log="$tmp/root/home/.local/state/tarvo/logs/manager.log"
for _ in $(seq 300); do grep -q "Signin?type=desktop" "$log" 2>/dev/null && break; sleep 0.1; done
sleep 1  # the first frame is composited after the load has finished
import -window root "$OUT/manager.png"
echo "manager.png"
