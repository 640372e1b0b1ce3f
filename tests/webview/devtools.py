#!/usr/bin/python3
"""Evaluates one JavaScript expression (a promise awaited) in the page of a web
view that serves the DevTools protocol on 127.0.0.1:PORT and prints its value
as JSON. Exit status 1 when there is no page yet or the expression threw.
The protocol's WebSocket is spoken here, with the standard library only.

usage: devtools.py PORT EXPRESSION
"""
import base64
import json
import os
import socket
import struct
import sys
import urllib.parse
import urllib.request


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise OSError("the web view closed the connection")
        data += chunk
    return data


def send_text(sock, text):
    payload = text.encode()
    mask = os.urandom(4)  # a client masks every frame
    n = len(payload)
    head = bytes([0x81])
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 1 << 16:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def receive_text(sock):
    message = b""
    while True:
        first, second = read_exact(sock, 2)
        n = second & 0x7F
        if n == 126:
            n = struct.unpack(">H", read_exact(sock, 2))[0]
        elif n == 127:
            n = struct.unpack(">Q", read_exact(sock, 8))[0]
        payload = read_exact(sock, n)
        opcode = first & 0x0F
        if opcode == 8:
            raise OSError("the web view closed the WebSocket")
        if opcode in (0, 1):  # text and its continuations; pings and pongs pass
            message += payload
            if first & 0x80:
                return message.decode()


def connect(url):
    parts = urllib.parse.urlparse(url)
    sock = socket.create_connection((parts.hostname, parts.port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(
        f"GET {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\nUpgrade: websocket\r\n"
        f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n"
        .encode())
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        head += read_exact(sock, 1)
    if b" 101 " not in head.split(b"\r\n", 1)[0]:
        raise OSError("no WebSocket: " + head.split(b"\r\n", 1)[0].decode(errors="replace"))
    return sock


def main(port, expression):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
            pages = [t["webSocketDebuggerUrl"] for t in json.load(r)
                     if t.get("type") == "page" and t.get("webSocketDebuggerUrl")]
        if not pages:
            return "no page yet"
        sock = connect(pages[0])
        send_text(sock, json.dumps({"id": 1, "method": "Runtime.evaluate", "params": {
            "expression": expression, "returnByValue": True, "awaitPromise": True}}))
        while (answer := json.loads(receive_text(sock))).get("id") != 1:
            pass
        sock.close()
    except (OSError, ValueError) as e:
        return f"no DevTools on port {port}: {e}"
    result = answer.get("result", {})
    if "error" in answer or "exceptionDetails" in result:
        return json.dumps(answer)
    print(json.dumps(result["result"].get("value")))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
