"""mitmproxy addon of TarvoProxy: lets through hosts on the whitelist of the
rules file named by PROXY_RULES_FILE (and their subdomains), and answers every
other request — blacklisted or simply not listed — with a block page.

The rules file is one JSON object with "whitelist" and "blacklist", lists of
entries: a host name ("example.com" also admits "www.example.com"), optionally
written with a leading "*." or ".", a scheme, a port or a path (ignored), or
an IP address. A blacklist entry wins over a whitelist entry. The file is
checked for replacement on every request, so a rules file renamed into place
takes effect at once. A missing file means no rules: everything is blocked.
"""
import html
import json
import os
import stat
import sys

from mitmproxy import ctx, http

MAX_RULES_BYTES = 8 * 1024 * 1024


def normalize(entry):
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
    return e.rstrip(".")


def matches(host, entries):
    return any(e and (host == e or host.endswith("." + e)) for e in entries)


def read_rules_file(path):
    """The parsed object, or raises OSError/ValueError. Never blocks on a FIFO
    and never follows a link planted at the path."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError("not a regular file")
        if st.st_size > MAX_RULES_BYTES:
            raise ValueError("larger than %d bytes" % MAX_RULES_BYTES)
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read(MAX_RULES_BYTES + 1)
    finally:
        os.close(fd)
    obj = json.loads(data.decode("utf-8"))
    if not isinstance(obj, dict):
        raise ValueError("not a JSON object")
    return obj


def entry_list(obj, key):
    value = obj.get(key)
    if not isinstance(value, list):
        return []
    return [n for n in (normalize(v) for v in value if isinstance(v, str)) if n]


class TarvoFilter:
    def __init__(self):
        self.path = os.environ.get("PROXY_RULES_FILE", "")
        self.signature = None
        self.whitelist = []
        self.blacklist = []

    def load(self, loader):
        loader.add_option("tarvo_username", str, "", "Child served by this proxy.")
        loader.add_option("tarvo_device_id", str, "", "Device identifier of this Mac.")

    def running(self):
        self.refresh()
        print("ready", flush=True)

    def refresh(self):
        try:
            st = os.lstat(self.path) if self.path else None
        except OSError:
            st = None
        signature = (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size) if st else None
        if signature == self.signature:
            return
        self.signature = signature
        if st is None:
            self.whitelist, self.blacklist = [], []
            print("no rules file at %s; blocking everything" % (self.path or "(unset)"),
                  file=sys.stderr, flush=True)
            return
        try:
            obj = read_rules_file(self.path)
        except (OSError, ValueError) as e:
            # A broken replacement keeps the rules already in force.
            print("ignoring unreadable rules file %s: %s" % (self.path, e),
                  file=sys.stderr, flush=True)
            return
        self.whitelist = entry_list(obj, "whitelist")
        self.blacklist = entry_list(obj, "blacklist")
        print("rules loaded: %d allowed, %d blocked" % (len(self.whitelist), len(self.blacklist)),
              flush=True)

    def verdict(self, host):
        host = normalize(host)
        if matches(host, self.blacklist):
            return "blacklisted"
        if matches(host, self.whitelist):
            return None
        return "not on the allowed list"

    def request(self, flow: http.HTTPFlow):
        self.refresh()
        host = flow.request.pretty_host
        reason = self.verdict(host)
        if reason is None:
            return
        user = ctx.options.tarvo_username
        body = BLOCK_PAGE.format(host=html.escape(host), reason=html.escape(reason),
                                 user=html.escape(user or "this account"))
        flow.response = http.Response.make(
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
<p><b>{host}</b> is {reason} for {user}.</p>
<p>Ask your parent if you need it.</p></div></body></html>
"""

addons = [TarvoFilter()]
