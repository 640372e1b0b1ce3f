#!/usr/bin/env bash
# The chat window (empty; a conversation with two parents and sent, failed and
# pending messages) and the toast for a long parent message, as the chat
# window's tests draw them against a local chat service (the empty window on
# the private Xvfb with openbox the X test starts).
set -euo pipefail
tests="$BUILD/tests/test_chat_qt"
[ -x "$tests" ] || cmake --build "$BUILD" --target test_chat_qt >/dev/null
TARVO_SCREENSHOTS="$OUT" QT_QPA_PLATFORM=offscreen timeout 120 "$tests" >/dev/null 2>&1 ||
  echo "chat: the chat window's tests failed" >&2
