"""mitmproxy addon of TarvoProxy: lets through hosts on the whitelist of the
rules file named by PROXY_RULES_FILE (and their subdomains), and answers every
other request — blacklisted or simply not listed — with a block page.

The rules file is one JSON object with "whitelist" and "blacklist", lists of
entries: a host name ("example.com" also admits "www.example.com"), optionally
written with a leading "*." or ".", a scheme, a port or a path (ignored), or
an IP address (which admits that address only). A blacklist entry wins over a
whitelist entry. The file is checked for replacement on every decision, so a
rules file renamed into place takes effect at once. A missing file means no
rules: everything is blocked. A file that cannot be read or parsed leaves the
last good rules in force.

Decisions are taken on where traffic really goes, never on what the client
says about it: the target of a CONNECT, the host a request is sent to, and the
address of every upstream connection the proxy is about to open. A request
whose Host header (or TLS server name) names another host than that is
blocked. A blocked destination is never contacted: a CONNECT to it is answered
here, so that a browser's HTTPS request inside the tunnel is intercepted and
shown the block page, and whatever else the tunnel carries finds no way out.
Whenever a decision cannot be taken, the traffic is blocked.
"""
import html
import ipaddress
import json
import os
import stat
import sys
import time

from mitmproxy import ctx, http
from mitmproxy.net.http import url

MAX_RULES_BYTES = 8 * 1024 * 1024
# A blocked request with a body larger than this is cut off instead of being
# answered with the page: answering means reading the body first.
MAX_BLOCKED_BODY = 1024 * 1024
BLOCK_LOG_INTERVAL = 60.0
BLOCK_LOG_HOSTS = 200  # distinct hosts logged per interval at most

BLACKLISTED = "blacklisted"
NOT_LISTED = "not on the allowed list"
MISDIRECTED = "cannot be reached through another site's address"
UNCHECKED = "could not be checked"
# The name is allowed, but the request came over a connection to another
# destination (as a browser reusing one connection for several sites may
# do): it is refused with 421, which tells the browser to ask again over a
# connection of its own.
MISROUTED = "misrouted"


def canonical_host(host):
    """`host` as compared against the rules: lower case, no trailing dot, no
    IPv6 brackets, an IP address in its canonical form. "" when empty."""
    h = str(host).strip().lower()
    if h.startswith("[") and h.endswith("]"):
        h = h[1:-1]
    h = h.rstrip(".")
    try:
        ip = ipaddress.ip_address(h)
    except ValueError:
        return h
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped:
        ip = ip.ipv4_mapped
    return str(ip)


def is_ip(host):
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        return False


def normalize(entry):
    """A rules entry reduced to the host it names."""
    e = str(entry).strip().lower()
    if "://" in e:
        e = e.split("://", 1)[1]
    e = e.split("/", 1)[0].split("?", 1)[0]
    e = e.rsplit("@", 1)[-1]
    if e.startswith("["):
        e = e[1:].split("]", 1)[0]
    elif e.count(":") == 1:
        e = e.split(":", 1)[0]
    while e.startswith("*.") or e.startswith("."):
        e = e[2:] if e.startswith("*.") else e[1:]
    return canonical_host(e)


class EntrySet:
    """Host names (matching themselves and their subdomains) and addresses
    (matching only themselves), looked up in time independent of their number."""

    def __init__(self, entries):
        self.names = set()
        self.addresses = set()
        for e in entries:
            (self.addresses if is_ip(e) else self.names).add(e)

    def __len__(self):
        return len(self.names) + len(self.addresses)

    def matches(self, host):
        if host in self.addresses:
            return True
        if is_ip(host):
            return False
        labels = host.split(".")
        return any(".".join(labels[i:]) in self.names for i in range(len(labels)))


def entry_list(obj, key):
    value = obj.get(key)
    if not isinstance(value, list):
        return []
    return [n for n in (normalize(v) for v in value if isinstance(v, str)) if n]


def read_rules_file(path):
    """The parsed object, or raises. Never blocks on a FIFO, never follows a
    link planted at the path, never reads more than MAX_RULES_BYTES."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError("not a regular file")
        if st.st_nlink != 1:
            raise ValueError("has %d links" % st.st_nlink)
        if st.st_size > MAX_RULES_BYTES:
            raise ValueError("larger than %d bytes" % MAX_RULES_BYTES)
        chunks = []
        size = 0
        while size <= MAX_RULES_BYTES:
            chunk = os.read(fd, MAX_RULES_BYTES + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > MAX_RULES_BYTES:
            raise ValueError("larger than %d bytes" % MAX_RULES_BYTES)
    finally:
        os.close(fd)
    obj = json.loads(b"".join(chunks).decode("utf-8"))
    if not isinstance(obj, dict):
        raise ValueError("not a JSON object")
    return obj


def printable(text, limit=255):
    """`text` safe for one log line: no control characters, bounded length."""
    s = "".join(c if c.isprintable() else "?" for c in str(text))
    return s if len(s) <= limit else s[:limit] + "\u2026"


def authority_host(value):
    """The host named by a Host header or :authority; None when malformed."""
    try:
        host, _port = url.parse_authority(value, check=True)
    except ValueError:
        return None
    return canonical_host(host)


class Verdict:
    def __init__(self, host, reason):
        self.host = host
        self.reason = reason


class TarvoFilter:
    def __init__(self):
        self.path = os.environ.get("PROXY_RULES_FILE", "")
        self.signature = ()  # never equal to a real one: the first refresh reads
        self.whitelist = EntrySet([])
        self.blacklist = EntrySet([])
        self.logged = {}  # host -> monotonic time of its last "blocked" line

    def load(self, loader):
        loader.add_option("tarvo_username", str, "", "Child served by this proxy.")
        loader.add_option("tarvo_device_id", str, "", "Device identifier of this Mac.")

    def running(self):
        self.refresh()
        server = ctx.master.addons.get("proxyserver")
        if server is None or getattr(server, "tcp_server", None) is None:
            say("not listening on %s:%d" % (ctx.options.listen_host, ctx.options.listen_port),
                error=True)
            return
        say("ready")

    # Rules

    def refresh(self):
        """Reloads the rules when the file was replaced. Never raises: a file
        that cannot be used keeps the rules in force."""
        try:
            try:
                st = os.lstat(self.path) if self.path else None
            except OSError:
                st = None
            signature = (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size) if st else None
            if signature == self.signature:
                return
            self.signature = signature
            if st is None:
                self.whitelist, self.blacklist = EntrySet([]), EntrySet([])
                say("no rules file \u2014 blocking everything", error=True)
                return
            obj = read_rules_file(self.path)
            whitelist = EntrySet(entry_list(obj, "whitelist"))
            blacklist = EntrySet(entry_list(obj, "blacklist"))
        except Exception as e:  # noqa: BLE001 - whatever went wrong, the old rules stay
            say("ignoring unreadable rules file %s: %s" % (printable(self.path), printable(
                "%s: %s" % (type(e).__name__, e))), error=True)
            return
        self.whitelist, self.blacklist = whitelist, blacklist
        say("rules loaded: %d allowed, %d blocked" % (len(whitelist), len(blacklist)))

    def judge_destination(self, host):
        """None when traffic may go to `host`, else the verdict."""
        self.refresh()
        name = canonical_host(host or "")
        if not name:
            return Verdict("(no host)", NOT_LISTED)
        if self.blacklist.matches(name):
            return Verdict(name, BLACKLISTED)
        if not self.whitelist.matches(name):
            return Verdict(name, NOT_LISTED)
        return None

    def judge_request(self, flow):
        request = flow.request
        dest = canonical_host(request.host)
        verdict = self.judge_destination(dest)
        if verdict is not None:
            return verdict
        # Every name the request gives for where it goes must be that place.
        named = [(v, authority_host(v)) for v in request.headers.get_all("host")]
        if request.authority:
            named.append((request.authority, authority_host(request.authority)))
        sni = flow.client_conn.sni
        if sni:
            named.append((sni, canonical_host(sni)))
        for value, host in named:
            if host != dest:
                if host and self.judge_destination(host) is None:
                    return Verdict(host, MISROUTED)
                return Verdict(host or printable(value, 64), MISDIRECTED)
        return None

    # Hooks. Each one blocks when it cannot decide: an exception escaping a
    # hook would let mitmproxy carry on as if the hook allowed the traffic.

    def http_connect(self, flow: http.HTTPFlow):
        try:
            verdict = self.judge_destination(flow.request.host)
        except Exception:  # noqa: BLE001
            verdict = Verdict(safe_host(flow.request), UNCHECKED)
        if verdict is None:
            return
        self.note_block(verdict)
        # Answered here, so no connection to the destination is opened. What
        # the tunnel then carries is judged again: HTTP and HTTPS get the
        # block page, anything else is refused in server_connect.
        flow.response = http.Response.make(200)

    def requestheaders(self, flow: http.HTTPFlow):
        try:
            verdict = self.judge_request(flow)
        except Exception:  # noqa: BLE001
            verdict = Verdict(safe_host(flow.request), UNCHECKED)
        if verdict is None:
            return
        self.note_block(verdict)
        try:
            if body_may_exceed(flow.request, MAX_BLOCKED_BODY):
                flow.kill()
                return
            flow.request.stream = False
            flow.response = block_response(verdict)
        except Exception:  # noqa: BLE001
            if flow.killable:
                flow.kill()

    def request(self, flow: http.HTTPFlow):
        # A second look once a buffered body is in (the rules may have changed
        # since the headers came, and a kept-alive connection is not opened
        # again): nothing leaves without a verdict.
        if flow.response is not None or flow.request.stream:
            return
        try:
            verdict = self.judge_request(flow)
        except Exception:  # noqa: BLE001
            verdict = Verdict(safe_host(flow.request), UNCHECKED)
        if verdict is not None:
            self.note_block(verdict)
            try:
                flow.response = block_response(verdict)
            except Exception:  # noqa: BLE001
                if flow.killable:
                    flow.kill()

    def server_connect(self, data):
        """The last word on every upstream connection, whatever layer asks
        for it (raw TCP in a tunnel, TLS towards the server, HTTP)."""
        try:
            address = data.server.address
            verdict = self.judge_destination(address[0] if address else "")
        except Exception:  # noqa: BLE001
            verdict = Verdict("(unknown)", UNCHECKED)
        if verdict is not None:
            self.note_block(verdict)
            data.server.error = "blocked by Tarvo"

    # Reporting

    def note_block(self, verdict):
        """One "blocked" line per host and minute, for the daemon's log."""
        if verdict.reason == MISROUTED:
            return
        host = verdict.host
        try:
            now = time.monotonic()
            last = self.logged.get(host)
            if last is not None and now - last < BLOCK_LOG_INTERVAL:
                return
            if len(self.logged) >= BLOCK_LOG_HOSTS:
                self.logged = {h: t for h, t in self.logged.items()
                               if now - t < BLOCK_LOG_INTERVAL}
                if len(self.logged) >= BLOCK_LOG_HOSTS:
                    return  # a flood of names: the first ones of the minute tell the story
            self.logged[host] = now
            user = ctx.options.tarvo_username or "(unknown)"
            say("blocked %s for %s" % (printable(host), printable(user)))
        except Exception:  # noqa: BLE001 - a lost log line must not open anything
            pass


def say(text, error=False):
    try:
        print(text, file=sys.stderr if error else sys.stdout, flush=True)
    except Exception:  # noqa: BLE001 - the daemon's pipe may be gone
        pass


def safe_host(request):
    try:
        return canonical_host(request.host) or "(no host)"
    except Exception:  # noqa: BLE001
        return "(unknown)"


def body_may_exceed(request, limit):
    headers = request.headers
    if "transfer-encoding" in headers:
        return True
    lengths = headers.get_all("content-length")
    if not lengths:
        # HTTP/1 without either header has no body; HTTP/2 may still send one.
        return request.is_http2 and request.method not in ("GET", "HEAD")
    return not all(v.strip().isdigit() and int(v) <= limit for v in lengths)


def block_response(verdict):
    if verdict.reason == MISROUTED:
        return http.Response.make(
            421, b"This connection does not lead to the site asked for; ask again.",
            {"Content-Type": "text/plain; charset=utf-8", "Cache-Control": "no-store"})
    user = html.escape(ctx.options.tarvo_username or "this account")
    host = html.escape(verdict.host)
    if verdict.reason == MISDIRECTED:
        sentence = "<b>%s</b> %s." % (host, html.escape(verdict.reason))
    elif verdict.reason == UNCHECKED:
        sentence = "<b>%s</b> %s, so it stays closed for %s." % (
            host, html.escape(verdict.reason), user)
    else:
        sentence = "<b>%s</b> is %s for %s." % (host, html.escape(verdict.reason), user)
    body = BLOCK_PAGE.format(sentence=sentence)
    return http.Response.make(
        403, body.encode("utf-8"),
        {"Content-Type": "text/html; charset=utf-8", "Cache-Control": "no-store",
         "X-Tarvo-Blocked": "1"})


BLOCK_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Blocked by Tarvo</title>
<style>body{{font-family:-apple-system,Helvetica,sans-serif;background:#f4f5f7;color:#222;
display:flex;align-items:center;justify-content:center;height:100vh;margin:0}}
.card{{background:#fff;padding:2.5em 3em;border-radius:14px;box-shadow:0 4px 24px #0002;
max-width:32em;text-align:center}}h1{{font-size:1.5em;margin-top:0}}</style></head>
<body><div class="card"><h1>This site is blocked</h1>
<p>{sentence}</p>
<p>Ask your parent if you need it.</p></div></body></html>
"""

addons = [TarvoFilter()]
