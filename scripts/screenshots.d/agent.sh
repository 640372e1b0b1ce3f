#!/usr/bin/env bash
# The agent's windows as a child sees them, from the real `tarvo agent` in a
# throw-away root on a private two-screen X server with openbox and a tray:
#   agent-warning.png          the time-left card (and the tray's chat bubble)
#   agent-blocker-screen0.png  the blocker on the primary screen
#   agent-blocker-screen1.png  the blocker on the second screen
#   agent-more-time.png        the more-time dialog over the blocker
#   agent-log-out.png          the log-out confirmation
# Needs OUT and BUILD (set by scripts/screenshots).
set -euo pipefail
: "${OUT:?}" "${BUILD:?}"
tarvo="$BUILD/src/tarvo"
work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# X server with two X screens (Qt sees two screens), a window manager on each, a tray.
Xvfb -displayfd 9 -nolisten tcp -noreset -screen 0 1280x800x24 -screen 1 1024x768x24 \
  9>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(tr -d '\n ' <"$work/display")"
for s in 0 1; do
  DISPLAY="$display.$s" openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
done
for s in 0 1; do
  for _ in $(seq 100); do
    DISPLAY="$display.$s" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
done
DISPLAY="$display.0" trayer --edge top --align right --widthtype request --height 24 \
  --SetDockType true --SetPartialStrut true --transparent false --tint 0x303030 >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

# The service: the quota in $work/quota, everything else answered with {}.
echo 10 >"$work/quota"
cat >"$work/service.py" <<'PY'
import http.server, json, sys, time
quota_file = sys.argv[2]
class Service(http.server.BaseHTTPRequestHandler):
    def answer(self, body):
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def do_GET(self):
        if self.path.startswith("/api/notifications/sse-direct"):
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.end_headers()
            while True:
                time.sleep(15)
                self.wfile.write(b": keep-alive\n\n")
                self.wfile.flush()
        if self.path.startswith("/api/GetAppLimits"):
            quota = int(open(quota_file).read())
            return self.answer({"daily_minutes": quota, "warn_at_minutes_remaining": 5,
                                "allowed_bundle_ids": []})
        self.answer({})
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.answer({})
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Service)
open(sys.argv[1], "w").write(str(server.server_address[1]))
server.serve_forever()
PY
python3 "$work/service.py" "$work/port" "$work/quota" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done

export TARVO_ROOT="$work/root" HOME="$work/root/home"  # this system's table of paths, under a root
unset TARVO_PLATFORM XDG_STATE_HOME
data="$TARVO_ROOT/var/lib/tarvo"
state="$HOME/.local/state/tarvo/screen_time_state.json"
mkdir -p "$data" "$(dirname "$state")"
printf '{"child_users": ["%s"], "api": "http://127.0.0.1:%s"}\n' "$(id -un)" "$(cat "$work/port")" \
  >"$data/config.json"

run_agent() { # seconds used today
  printf '{"day": "%s", "seconds": %s, "quotaMinutes": 10, "warnAtMinutesRemaining": 5, "grantedBonusMinutes": 0}\n' \
    "$(date +%F)" "$1" >"$state"
  DISPLAY="$display" QT_QPA_PLATFORM=xcb "$tarvo" agent >/dev/null 2>&1 &
  agent=$!
  pids+=("$agent")
}
wait_for_windows() { # count of viewable agent windows on both screens
  for _ in $(seq 100); do
    n=0
    for s in 0 1; do
      found=$(DISPLAY="$display.$s" xdotool search --screen "$s" --onlyvisible --class app.tarvo.agent 2>/dev/null || true)
      n=$((n + $(printf '%s' "$found" | grep -c . || true)))
    done
    [ "$n" -ge "$1" ] && return 0
    sleep 0.1
  done
  echo "agent windows did not appear" >&2
  return 1
}
shot() { DISPLAY="$display.$1" import -window root "$OUT/$2"; }

# 1. Four minutes left: the card (and the chat bubble in the tray).
run_agent 360
wait_for_windows 1
sleep 0.5
shot 0 agent-warning.png
kill -TERM "$agent"
wait "$agent" || true

# 2. Time used up: the blocker on both screens, then its two dialogs.
run_agent 600
wait_for_windows 2
sleep 0.5
shot 0 agent-blocker-screen0.png
shot 1 agent-blocker-screen1.png
DISPLAY="$display" xdotool key space
wait_for_windows 3
sleep 0.5
shot 0 agent-more-time.png
DISPLAY="$display" xdotool key Escape
sleep 0.5
DISPLAY="$display" xdotool key Tab space
wait_for_windows 3
sleep 0.5
shot 0 agent-log-out.png
DISPLAY="$display" xdotool key Escape
kill -TERM "$agent"
wait "$agent" || true
