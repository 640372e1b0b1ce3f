#!/usr/bin/env python3
"""Evaluates one JavaScript expression in the page of a web view that listens
for the DevTools protocol on 127.0.0.1:PORT (QtWebEngine started with
QTWEBENGINE_REMOTE_DEBUGGING), and prints the result as JSON.

usage: devtools.py PORT EXPRESSION

A promise is awaited. Exit status: 0 with the value printed; 1 when there is
no page to talk to (yet); 2 when the expression threw.
"""
import json
import sys
import urllib.request

import websocket


def page_socket_url(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
        targets = json.load(r)
    for t in targets:
        if t.get("type") == "page" and t.get("webSocketDebuggerUrl"):
            return t["webSocketDebuggerUrl"]
    return None


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    port, expression = sys.argv[1], sys.argv[2]
    try:
        url = page_socket_url(port)
        if not url:
            print("no page yet", file=sys.stderr)
            return 1
        ws = websocket.create_connection(url, timeout=10, suppress_origin=True)
    except (OSError, websocket.WebSocketException) as e:
        print(f"no DevTools on port {port}: {e}", file=sys.stderr)
        return 1
    try:
        ws.send(json.dumps({
            "id": 1,
            "method": "Runtime.evaluate",
            "params": {"expression": expression, "returnByValue": True, "awaitPromise": True},
        }))
        while True:
            answer = json.loads(ws.recv())
            if answer.get("id") == 1:
                break
    except (OSError, websocket.WebSocketException) as e:
        print(f"DevTools connection lost: {e}", file=sys.stderr)
        return 1
    finally:
        ws.close()
    if "error" in answer:
        print(json.dumps(answer["error"]), file=sys.stderr)
        return 1
    result = answer["result"]
    if "exceptionDetails" in result:
        print(json.dumps(result["exceptionDetails"]), file=sys.stderr)
        return 2
    print(json.dumps(result["result"].get("value")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
