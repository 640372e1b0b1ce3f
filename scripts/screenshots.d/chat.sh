#!/usr/bin/env bash
# The chat window (empty; a conversation with two parents and sent, failed and
# pending messages) and the toast for a parent's message, each on a private
# Xvfb with openbox, drawn by the chat harness against a local chat service.
set -euo pipefail
harness="$BUILD/tests/chat_harness"
[ -x "$harness" ] || cmake --build "$BUILD" --target chat_harness >/dev/null

shot() {  # shot SCENE FILE
  local fifo pid wm display
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$fifo" 2>/dev/null &
  pid=$!
  read -r display <"$fifo"
  rm -f "$fifo"
  DISPLAY=":$display" openbox --sm-disable >/dev/null 2>&1 &
  wm=$!
  for _ in $(seq 100); do
    DISPLAY=":$display" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
  done
  DISPLAY=":$display" QT_QPA_PLATFORM=xcb timeout 60 "$harness" --scene "$1" --screenshot "$OUT/$2" \
    2>/dev/null || echo "chat: scene $1 failed" >&2
  kill "$wm" "$pid" 2>/dev/null || true
  wait "$wm" "$pid" 2>/dev/null || true
}

shot empty chat-window-empty.png
shot conversation chat-window-conversation.png
shot toast chat-toast.png
