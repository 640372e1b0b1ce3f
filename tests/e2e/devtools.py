#!/usr/bin/python3
"""Evaluates one JavaScript expression (a promise awaited) in the page of a web
view that serves the DevTools protocol on 127.0.0.1:PORT and prints its value
as JSON. Exit status 1 when there is no page yet or the expression threw.

usage: devtools.py PORT EXPRESSION
"""
import json
import sys
import urllib.request

import websocket


def main(port, expression):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
            pages = [t["webSocketDebuggerUrl"] for t in json.load(r)
                     if t.get("type") == "page" and t.get("webSocketDebuggerUrl")]
        if not pages:
            return "no page yet"
        ws = websocket.create_connection(pages[0], timeout=10, suppress_origin=True)
        ws.send(json.dumps({"id": 1, "method": "Runtime.evaluate", "params": {
            "expression": expression, "returnByValue": True, "awaitPromise": True}}))
        while (answer := json.loads(ws.recv())).get("id") != 1:
            pass
        ws.close()
    except (OSError, websocket.WebSocketException) as e:
        return f"no DevTools on port {port}: {e}"
    result = answer.get("result", {})
    if "error" in answer or "exceptionDetails" in result:
        return json.dumps(answer)
    print(json.dumps(result["result"].get("value")))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
