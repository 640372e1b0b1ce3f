#!/usr/bin/env bash
# Wall time of `tarvo manager` from its start to the sign-in page painted, on
# a private Xvfb with openbox, against a local page server. The page reports
# its first painted frame (two animation frames after its script ran) back to
# the server, then asks the window to close over the bridge. Figures per run
# and the median of RUNS runs (default 7):
#   requested  start → the sign-in page requested from the server
#   painted    start → the page's first frame painted
#   closed     start → the process exited after "closeApp"
#   VmHWM      peak resident memory of the tarvo process (its WebEngine
#              renderer and GPU threads run in QtWebEngineProcess, not counted)
# usage: bench/manager-startup.sh [path/to/tarvo]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:-$here/../build/src/tarvo}"
[ -x "$bin" ] || { echo "no tarvo binary at $bin (build first)" >&2; exit 1; }
exec python3 - "$bin" "${RUNS:-7}" <<'PY'
import http.server, os, shutil, statistics, subprocess, sys, tempfile, threading, time

binary, runs = sys.argv[1], int(sys.argv[2])
tmp = tempfile.mkdtemp()
events = {}
PAGE = b"""<!doctype html><html><body style="background:#2a6fdb;color:#fff">
<h1>Sign in</h1><script>
requestAnimationFrame(function () { requestAnimationFrame(function () {
  fetch('/painted').then(function () { window.chrome.webview.postMessage('closeApp'); });
}); });
</script></body></html>"""

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        now = time.monotonic()
        key = "requested" if self.path.startswith("/Signin") else "painted" if self.path == "/painted" else None
        if key:
            events.setdefault(key, now)
        body = PAGE if key == "requested" else b"ok"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *a):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()

# Xvfb picks a free display and writes its number into a file.
number_file = open(os.path.join(tmp, "display"), "w")
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(number_file.fileno()), "-nolisten", "tcp",
                         "-noreset", "-screen", "0", "1280x900x24"],
                        pass_fds=[number_file.fileno()], stdout=subprocess.DEVNULL,
                        stderr=open(os.path.join(tmp, "xvfb.log"), "w"))
number_file.close()
display = ""
for _ in range(200):
    display = open(os.path.join(tmp, "display")).read().strip()
    if display or xvfb.poll() is not None:
        break
    time.sleep(0.05)
if not display:
    sys.exit("Xvfb did not start: " + open(os.path.join(tmp, "xvfb.log")).read()[-1500:])
display = ":" + display
env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb",
           TARVO_BASE_URL=f"http://127.0.0.1:{server.server_address[1]}/")
wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# Wait until the window manager owns the screen.
for _ in range(100):
    out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                         capture_output=True, text=True).stdout
    if "window id" in out:
        break
    time.sleep(0.05)

rows = []
try:
    for i in range(runs + 1):  # the first run warms the disk cache and is not counted
        events.clear()
        root = os.path.join(tmp, f"root{i}")
        os.makedirs(os.path.join(root, "home"))
        run_env = dict(env, TARVO_ROOT=root, HOME=os.path.join(root, "home"))
        start = time.monotonic()
        proc = subprocess.Popen([binary, "manager"], env=run_env, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(root, "stderr"), "w"))
        hwm = None
        while "painted" not in events and time.monotonic() - start < 60:
            time.sleep(0.002)
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                hwm = next(int(l.split()[1]) for l in f if l.startswith("VmHWM"))
        except (OSError, StopIteration):
            pass
        code = proc.wait(timeout=60)
        closed = time.monotonic() - start
        if "painted" not in events or code != 0:
            sys.exit(f"run {i}: no painted page (exit {code}); X server: " + open(os.path.join(tmp, "xvfb.log")).read()[-1500:])
        row = ((events["requested"] - start) * 1e3, (events["painted"] - start) * 1e3, closed * 1e3, hwm)
        if i:
            rows.append(row)
finally:
    server.shutdown()
    wm.terminate(); xvfb.terminate(); wm.wait(); xvfb.wait()
    shutil.rmtree(tmp, ignore_errors=True)

print(f"{'run':<8}{'requested ms':>14}{'painted ms':>12}{'closed ms':>11}{'VmHWM MB':>10}")
for n, (a, b, c, m) in enumerate(rows, 1):
    print(f"{n:<8}{a:>14.0f}{b:>12.0f}{c:>11.0f}{(m or 0) / 1024:>10.1f}")
med = [statistics.median(col) for col in zip(*[(a, b, c, m or 0) for a, b, c, m in rows])]
print(f"{'median':<8}{med[0]:>14.0f}{med[1]:>12.0f}{med[2]:>11.0f}{med[3] / 1024:>10.1f}")
PY
