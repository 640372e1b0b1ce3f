"""mitmproxy addon of TarvoProxy: bounds what any client can make the proxy
hold, and serves on the listening socket the daemon hands over.

- Listening socket: when TARVO_LISTEN_FD names an inherited descriptor, the
  proxy server is started on that socket instead of binding its own, so the
  port is never free between two proxies (the daemon keeps it).
- Request heads: at most MAX_HEAD_BYTES (64 KiB) up to and including the blank
  line that ends them; a longer one is answered with 431 and the connection
  closed. The same bound holds for whatever else a client connection leaves
  unprocessed in the proxy (a chunk-size line without an end, data sent ahead
  while a response is awaited): past it the connection is closed.
- Connections: at most MAX_CONNECTIONS_PER_USER open at once from one local
  user (the owner of the connecting socket, asked of the kernel), and
  MAX_CONNECTIONS in all; one over is closed at once.

mitmproxy 8.1 has no bound of its own on a request head, so this reaches into
its HTTP/1 server layer and its proxy server addon. check_internals() states
what is relied on; when any of it is not as expected the proxy stops at once
with a line saying so (exit status 3) rather than run without the bounds.
"""
import asyncio
import inspect
import ipaddress
import os
import re
import socket
import struct
import sys
import time

from mitmproxy import ctx

MAX_HEAD_BYTES = 64 * 1024
MAX_CONNECTIONS_PER_USER = 256
MAX_CONNECTIONS = 1024
BACKLOG = 1024
REFUSAL_LOG_INTERVAL = 60.0
EXIT_INTERNALS = 3

# What ends a head, as mitmproxy's receive buffer finds it.
BLANK_LINE = re.compile(b"\n\r?\n")


def say(text):
    try:
        print("TarvoProxy: " + text, file=sys.stderr, flush=True)
    except Exception:  # noqa: BLE001 - the daemon's pipe may be gone
        pass


def fail(text):
    """Stops the whole proxy now: mitmproxy would carry on without an addon
    that raised."""
    say(text)
    os._exit(EXIT_INTERNALS)


def listen_fd():
    value = os.environ.get("TARVO_LISTEN_FD", "")
    return int(value) if value.isdigit() else None


# What is relied on in mitmproxy


def _source(obj):
    try:
        return inspect.getsource(obj)
    except (OSError, TypeError):
        return ""


def check_internals():
    """The mitmproxy internals the bounds rely on; a list of what is not as
    expected (empty when all is)."""
    problems = []
    try:
        from mitmproxy.addons import proxyserver
        from mitmproxy.proxy import commands, events
        from mitmproxy.proxy.layers.http import _http1
    except ImportError as e:
        return ["cannot import mitmproxy's proxy server: %s" % e]
    server = getattr(proxyserver, "Proxyserver", None)
    desc = getattr(server, "_server_desc", None)
    if getattr(proxyserver, "asyncio", None) is not asyncio:
        problems.append("the proxy server addon does not use the asyncio module")
    if not isinstance(desc, property) or not all(
            text in _source(desc.fget)
            for text in ("asyncio.start_server(", "self.handle_tcp_connection")):
        problems.append("the proxy server is not started with asyncio.start_server")
    handler = getattr(server, "handle_tcp_connection", None)
    if handler is None or list(inspect.signature(handler).parameters) != [
            "self", "reader", "writer"]:
        problems.append("Proxyserver.handle_tcp_connection(reader, writer) is missing")
    http1 = getattr(_http1, "Http1Server", None)
    read_headers = getattr(http1, "read_headers", None)
    if "self.buf.maybe_extract_lines()" not in _source(read_headers):
        problems.append("Http1Server.read_headers no longer reads the head from self.buf")
    if "self.buf += event.data" not in _source(getattr(http1, "_handle_event", None)):
        problems.append("the HTTP/1 layer no longer buffers what it receives in self.buf")
    for name in ("done", "passthrough", "read_body", "wait"):
        if not callable(getattr(http1, name, None)):
            problems.append("Http1Server.%s is missing" % name)
    if not callable(getattr(_http1, "make_error_response", None)):
        problems.append("make_error_response is missing")
    if not hasattr(_http1, "ReceiveBuffer"):
        problems.append("the HTTP/1 layer's ReceiveBuffer is missing")
    for module, name in ((commands, "SendData"), (commands, "CloseConnection"),
                         (events, "DataReceived")):
        if not hasattr(module, name):
            problems.append("mitmproxy.proxy.%s.%s is missing" % (module.__name__.split(".")[-1],
                                                                 name))
    return problems


# Who connects


def _diag_lookup(family, local, peer):
    """The uid owning the client's end of a connection from `peer` to
    `local`, asked of the kernel's socket diagnostics; None when unknown."""
    packed = socket.AF_INET if family == socket.AF_INET else socket.AF_INET6

    def address(host):
        raw = socket.inet_pton(packed, host)
        return raw + b"\0" * (16 - len(raw))

    # inet_diag_req_v2 naming one socket: the client's, whose source is the
    # peer and whose destination is this end.
    sockid = struct.pack("!HH", peer[1], local[1]) + address(peer[0]) + address(local[0])
    sockid += struct.pack("=III", 0, 0xFFFFFFFF, 0xFFFFFFFF)  # any interface, no cookie
    request = struct.pack("=BBBBI", packed, socket.IPPROTO_TCP, 0, 0, 0xFFFFFFFF) + sockid
    header = struct.pack("=IHHII", 16 + len(request), 20, 1, 1, 0)  # SOCK_DIAG_BY_FAMILY
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 4) as nl:  # NETLINK_SOCK_DIAG
        nl.settimeout(1.0)
        nl.sendto(header + request, (0, 0))
        reply = nl.recv(8192)
    length, kind = struct.unpack_from("=IH", reply, 0)
    if kind != 20 or length < 16 + 72:
        return None
    return struct.unpack_from("=I", reply, 16 + 64)[0]  # inet_diag_msg.idiag_uid


def _proc_lookup(family, local, peer):
    """The same from /proc/net/tcp{,6}, when the diagnostics cannot answer."""
    def hex_address(host, port):
        raw = socket.inet_pton(socket.AF_INET if family == socket.AF_INET else socket.AF_INET6,
                               host)
        words = [raw[i:i + 4] for i in range(0, len(raw), 4)]
        return "".join("%08X" % struct.unpack("=I", w)[0] for w in words) + ":%04X" % port

    table = "/proc/net/tcp" if family == socket.AF_INET else "/proc/net/tcp6"
    want = (hex_address(peer[0], peer[1]), hex_address(local[0], local[1]))
    with open(table) as f:
        next(f, None)
        for line in f:
            fields = line.split()
            if len(fields) > 7 and (fields[1], fields[2]) == want:
                return int(fields[7])
    return None


def peer_uid(local, peer):
    """The local user who opened the connection from `peer` to `local`; None
    when it cannot be learnt (then all such connections share one count)."""
    try:
        ip = ipaddress.ip_address(peer[0])
        family = socket.AF_INET if ip.version == 4 else socket.AF_INET6
    except (ValueError, TypeError, IndexError):
        return None
    for lookup in (_diag_lookup, _proc_lookup):
        try:
            uid = lookup(family, local, peer)
        except Exception:  # noqa: BLE001 - try the next way
            continue
        if uid is not None:
            return uid
    return None


class ConnectionCount:
    """Open connections, per connecting user and in all."""

    def __init__(self, per_user=MAX_CONNECTIONS_PER_USER, total=MAX_CONNECTIONS):
        self.per_user = per_user
        self.limit = total
        self.by_user = {}
        self.total = 0

    def admit(self, uid):
        """None when admitted (release() it later), else why not."""
        if self.total >= self.limit:
            return "%d connections open in all" % self.total
        held = self.by_user.get(uid, 0)
        if held >= self.per_user:
            return "%d connections open from this user" % held
        self.by_user[uid] = held + 1
        self.total += 1
        return None

    def release(self, uid):
        self.total -= 1
        left = self.by_user.get(uid, 1) - 1
        if left > 0:
            self.by_user[uid] = left
        else:
            self.by_user.pop(uid, None)


class RefusalLog:
    """One line per kind of refusal and user a minute, with how many there were."""

    def __init__(self):
        self.last = {}  # key -> (time of the last line, refusals since)

    def note(self, key, text):
        now = time.monotonic()
        last, count = self.last.get(key, (None, 0))
        count += 1
        if last is not None and now - last < REFUSAL_LOG_INTERVAL:
            self.last[key] = (last, count)
            return
        if len(self.last) > 1000:
            self.last.clear()
        self.last[key] = (now, 0)
        say(text + ("" if count == 1 else " (%d times in the last minute)" % count))


def who(uid):
    return "uid %d" % uid if uid is not None else "an unknown user"


# Putting the bounds in place


class Limits:
    def __init__(self):
        self.count = ConnectionCount()
        self.refusals = RefusalLog()
        self.fd = None

    def load(self, loader):
        from mitmproxy.addons import proxyserver
        if getattr(proxyserver, "tarvo_limits_installed", False):
            return  # this file loaded again: the bounds are in place already
        problems = check_internals()
        if problems:
            fail("mitmproxy's internals are not as this proxy expects (%s) \u2014 not starting"
                 % "; ".join(problems))
        self.fd = listen_fd()
        self.install()
        proxyserver.tarvo_limits_installed = True

    def running(self):
        server = ctx.master.addons.get("proxyserver")
        tcp = getattr(server, "tcp_server", None)
        if self.fd is None or tcp is None:
            return  # no socket handed over; or not listening, which the filter reports
        try:
            wanted = os.fstat(self.fd).st_ino
            serving = {os.fstat(s.fileno()).st_ino for s in tcp.sockets}
        except OSError as e:
            fail("cannot check the listening socket: %s" % e)
        if serving != {wanted}:
            fail("the proxy server does not serve on the socket handed over \u2014 not starting")

    def install(self):
        from mitmproxy.addons import proxyserver
        from mitmproxy.proxy import commands, events
        from mitmproxy.proxy.layers.http import _http1

        limits = self
        fd = self.fd

        if fd is not None:
            class AsyncioOnInheritedSocket:
                """asyncio as the proxy server addon sees it: its server is
                started on (a duplicate of) the inherited socket."""

                def __getattr__(self, name):
                    return getattr(asyncio, name)

                @staticmethod
                def start_server(client_connected_cb, *_address, **kwargs):
                    kwargs.pop("host", None)
                    kwargs.pop("port", None)
                    sock = socket.socket(fileno=os.dup(fd))
                    return asyncio.start_server(client_connected_cb, sock=sock,
                                                backlog=BACKLOG, **kwargs)

            proxyserver.asyncio = AsyncioOnInheritedSocket()

        handle = proxyserver.Proxyserver.handle_tcp_connection

        async def handle_tcp_connection(self, reader, writer):
            local = writer.get_extra_info("sockname")
            peer = writer.get_extra_info("peername")
            uid = peer_uid(local, peer)
            why = limits.count.admit(uid)
            if why is not None:
                limits.refusals.note(("connections", uid),
                                     "refused a connection from %s: %s" % (who(uid), why))
                writer.transport.abort()
                return
            try:
                await handle(self, reader, writer)
            finally:
                limits.count.release(uid)

        proxyserver.Proxyserver.handle_tcp_connection = handle_tcp_connection

        server = _http1.Http1Server
        read_headers = server.read_headers
        handle_event = server._handle_event

        def refuse(layer, why, code=None):
            peer = layer.conn.peername
            layer.buf = _http1.ReceiveBuffer()
            layer.state = layer.done
            limits.refusals.note("head", "refused a client at %s: %s" % (
                "%s:%s" % peer[:2] if peer else "(unknown)", why))
            if code is not None:
                yield commands.SendData(layer.conn, _http1.make_error_response(code, why))
            yield commands.CloseConnection(layer.conn)

        def guarded_read_headers(self, event):
            if isinstance(event, events.DataReceived) and head_over_limit(self.buf):
                yield from refuse(self, "request head over %d bytes" % MAX_HEAD_BYTES, 431)
                return
            yield from read_headers(self, event)

        def guarded_handle_event(self, event):
            yield from handle_event(self, event)
            if len(self.buf) > MAX_HEAD_BYTES and self.state not in (self.passthrough,
                                                                     self.done):
                heading = self.state == self.read_headers
                yield from refuse(self, "over %d bytes unprocessed" % MAX_HEAD_BYTES,
                                  431 if heading else None)

        server.read_headers = guarded_read_headers
        server._handle_event = guarded_handle_event


def head_over_limit(buf):
    """True when what `buf` holds of a request head already runs past
    MAX_HEAD_BYTES: no head end within the bound, though more has come."""
    if len(buf) <= MAX_HEAD_BYTES:
        return False
    data = getattr(buf, "_data", None)
    if not isinstance(data, (bytes, bytearray)):
        data = bytes(buf)
    return BLANK_LINE.search(data, 0, MAX_HEAD_BYTES) is None


addons = [Limits()]
