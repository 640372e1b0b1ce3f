#!/usr/bin/env python3
"""The filtering proxy (resources/proxy) run for real: the real mitmdump with
a throw-away authority, in a network namespace of its own where port 8080 is
free and 127.0.0.2 and 127.0.0.3 are two local "sites". Children planting
files and holding connections are ordinary users (setuid). Needs root: the
test re-executes itself under `unshare -n` and skips without it.

    python3 tests/proxy/test_filtering_proxy.py [unittest arguments]
"""
import fcntl
import http.server
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROXY = os.path.join(SOURCE, "resources", "proxy", "TarvoProxy")
NOBODY = 65534
PROXY_PORT = 8080
WAIT = 30.0
NO_RULES = "no rules file \u2014 blocking everything"
IN_NAMESPACE = "TARVO_PROXY_TEST_NETNS"


def loopback_up():
    """A new network namespace has only a loopback device, and it is down."""
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP, IFF_RUNNING = 0x8913, 0x8914, 0x1, 0x40
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifr = fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH22x", b"lo", 0))
        flags = struct.unpack("16sH22x", ifr)[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH22x", b"lo", flags | IFF_UP | IFF_RUNNING))


def real_mitmdump():
    return os.environ.get("MITMDUMP") or shutil.which("mitmdump") or "/usr/bin/mitmdump"


def namespace_problem():
    """Why the tests cannot run here, or None once in a namespace of their own."""
    if os.geteuid() != 0:
        return "the proxy tests need root (a network namespace, other users)"
    if os.environ.get(IN_NAMESPACE) != "1":
        return "not in a private network namespace (run this file directly)"
    if not os.path.exists(real_mitmdump()):
        return "mitmdump is not installed"
    return None


def wait_until(condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class Process:
    """A started child, its two streams gathered as they come; ended (with
    its process group) by stop()."""

    def __init__(self, argv, env=None, user=None):
        extra = {"user": user, "group": user, "extra_groups": []} if user is not None else {}
        self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      start_new_session=True, **extra)
        self._out, self._err = [], []
        self._readers = [threading.Thread(target=self._gather, args=(f, into), daemon=True)
                         for f, into in ((self.popen.stdout, self._out),
                                         (self.popen.stderr, self._err))]
        for r in self._readers:
            r.start()

    @staticmethod
    def _gather(stream, into):
        for chunk in iter(lambda: stream.read1(65536), b""):
            into.append(chunk)

    @property
    def pid(self):
        return self.popen.pid

    def out(self):
        return b"".join(self._out).decode("utf-8", "replace")

    def err(self):
        return b"".join(self._err).decode("utf-8", "replace")

    def wait_for_output(self, text):
        """True once `text` came; False when the child ended without it or
        nothing came in time."""
        wait_until(lambda: text in self.out() or self.popen.poll() is not None)
        if self.popen.poll() is not None:
            for r in self._readers:
                r.join(WAIT)
        return text in self.out()

    def wait(self, timeout=WAIT):
        try:
            code = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        for r in self._readers:
            r.join(timeout)
        return code

    def stop(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, 9)
            except ProcessLookupError:
                pass
        self.popen.wait()
        for r in self._readers:
            r.join(WAIT)
        self.popen.stdout.close()
        self.popen.stderr.close()


class WebSite:
    """A web server on `address` counting GET /page ("hello from the
    server"); HTTPS with the test server certificate when `tls`; on `port`,
    or a free one."""

    def __init__(self, address, tls=False, port=0):
        site = self
        self.requests = 0

        class Handler(http.server.BaseHTTPRequestHandler):
            # Kept alive, as a real site's: the proxy keeps its client's
            # connection open after the answer.
            protocol_version = "HTTP/1.1"

            def do_GET(self):  # noqa: N802
                if self.path != "/page":
                    self.send_error(404)
                    return
                site.requests += 1
                body = b"hello from the server"
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        self.server = http.server.ThreadingHTTPServer((address, port), Handler)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(Pki.server_cert, Pki.server_key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class Listener:
    """A loopback port on `address` that only counts the connections made to it."""

    def __init__(self, address):
        self.sock = socket.create_server((address, 0))
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            conn.close()

    def close(self):
        self.sock.close()


class Pki:
    """A throw-away authority (scripts/make-test-ca), a server certificate for
    "localhost" and 127.0.0.2, and a mitmdump that trusts that server upstream."""
    dir = ca_pem = root_cert = server_cert = server_key = mitmdump = None

    @classmethod
    def make(cls):
        if cls.dir:
            return
        cls.dir = tempfile.mkdtemp(prefix="tarvo-pki-")
        os.chmod(cls.dir, 0o755)
        real = real_mitmdump()
        subprocess.run(["/bin/bash", "-ec", """cd "$1"
"$2/scripts/make-test-ca" ca >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout server.key -out server.pem -days 30 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.2 2>/dev/null
printf '#!/bin/sh\\nexec %s "$@" --set ssl_verify_upstream_trusted_ca=%s/server.pem\\n' \
  "$3" "$PWD" > mitmdump
chmod 755 mitmdump""", "-", cls.dir, SOURCE, real], check=True)
        cls.ca_pem = os.path.join(cls.dir, "ca", "mitmproxy-ca.pem")
        cls.root_cert = os.path.join(cls.dir, "ca", "rootCert.pem")
        cls.server_cert = os.path.join(cls.dir, "server.pem")
        cls.server_key = os.path.join(cls.dir, "server.key")
        cls.mitmdump = os.path.join(cls.dir, "mitmdump")

    @classmethod
    def remove(cls):
        if cls.dir:
            shutil.rmtree(cls.dir, ignore_errors=True)
            cls.dir = None


def curl_via(*args):
    """What curl got through the proxy on 127.0.0.1:8080, trusting the test
    authority: (status or 0, blocked by the proxy, body, error)."""
    r = subprocess.run(["/usr/bin/curl", "-sS", "--max-time", "20", "-x",
                        "http://127.0.0.1:%d" % PROXY_PORT, "-w",
                        "\n%{http_code} %header{x-tarvo-blocked}", "--cacert", Pki.root_cert,
                        *args], capture_output=True, text=True, errors="replace")
    body, _, status = r.stdout.rpartition("\n")
    code = status.split(" ")[0]
    return int(code) if code.isdigit() else 0, r.stdout.endswith(" 1"), body, r.stderr


def as_nobody(script):
    """Runs a bash script as nobody (a child planting files)."""
    return subprocess.run(["/bin/bash", "-ec", script], env={"PATH": "/usr/bin:/bin"},
                          user=NOBODY, group=NOBODY, extra_groups=[], capture_output=True,
                          text=True)


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def replace_file(path, text):
    """A new file renamed over `path`, the way the agent writes."""
    write_text(path + ".new", text)
    os.rename(path + ".new", path)


# A client of the proxy on 127.0.0.1:8080 asking for URL:
#   head N URL     a request whose head is exactly N bytes: its status,
#                  "closed", or "waiting" when nothing came for 20 s
#   blank N        N bytes of empty lines, which come before a head: the same
#   endless MB     MB megabytes of one header line that never ends: the same
#   hold N URL     N idle connections and one more ("extra: closed" when the
#                  proxy closes it), a request on the Nth ("last: status"),
#                  then "holding" until stopped
PROXY_CLIENT = r"""import socket, sys, time
def connect():
    return socket.create_connection(("127.0.0.1", 8080), timeout=20)
def status(s):
    try:
        data = s.recv(4096)
    except socket.timeout:
        return "waiting"
    except OSError:
        data = b""
    return data.split(b" ")[1].decode() if data.startswith(b"HTTP/") else "closed"
def request(url, size=0):
    head = "GET %s HTTP/1.1\r\nHost: %s\r\n" % (url, url.split("/")[2])
    pad = "X-Pad: %s\r\n" % ("a" * (size - len(head) - 11)) if size else ""
    return (head + pad + "\r\n").encode()
mode, n = sys.argv[1], int(sys.argv[2])
s = connect()
if mode == "hold":
    held = [s] + [connect() for _ in range(n - 1)]
    print("extra:", status(connect()), flush=True)
    held[-1].sendall(request(sys.argv[3]))
    print("last:", status(held[-1]) + "\nholding", flush=True)
    time.sleep(1000)
try:
    if mode == "head":
        s.sendall(request(sys.argv[3], n))
    elif mode == "blank":
        s.sendall(b"\r\n" * (n // 2))
    else:
        s.sendall(b"GET http://127.0.0.2/ HTTP/1.1\r\nX-Pad: ")
        for _ in range(n):
            s.sendall(b"a" * (1 << 20))
except OSError:
    pass
print(status(s))"""


def proxy_connections_open():
    """Connections the proxy has not closed yet (established, or closed by
    the client only), as this namespace's kernel lists them."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(1 for r in rows if r[1].endswith(":%04X" % PROXY_PORT) and r[3] in ("01", "08"))


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


@unittest.skipIf(namespace_problem(), namespace_problem())
class FilteringProxy(unittest.TestCase):
    """The proxy's folders: a data directory everybody may write, a private
    confdir, someone else's, one others may read, a link to the private one;
    and the proxy on a port with one of them."""

    @classmethod
    def setUpClass(cls):
        Pki.make()

    @classmethod
    def tearDownClass(cls):
        Pki.remove()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvo-proxy-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        subprocess.run(["/bin/bash", "-ec", """cd "$1"; chmod 755 .; mkdir -m 777 data
mkdir -m 700 conf; cp "$2" conf; mkdir tmp; mkdir -m 1777 shared; mkdir -m 755 open
cp conf/* open; ln -s ../conf shared/link""", "-", self.dir, Pki.ca_pem], check=True)
        self.assertEqual(as_nobody("mkdir -m 700 '%s/shared/planted'" % self.dir).returncode, 0)
        self.data = os.path.join(self.dir, "data")
        self.rules = os.path.join(self.data, "proxy_rules.json")
        self.conf = os.path.join(self.dir, "conf")
        self.env = dict(os.environ, PROXY_RULES_FILE=self.rules, MITMDUMP=Pki.mitmdump,
                        TMPDIR=os.path.join(self.dir, "tmp"))

    def start(self, argv, env=None, user=None):
        p = Process(argv, env=env or self.env, user=user)
        self.addCleanup(p.stop)
        return p

    def launch(self, confdir, port=PROXY_PORT):
        return self.start([PROXY, "--port", str(port), "--host", "127.0.0.1", "--confdir",
                           confdir, "--username", "-x", "--device-id", "--port"])

    def site(self, address, tls=False):
        s = WebSite(address, tls)
        self.addCleanup(s.close)
        return s

    def expect_answer(self, args, status):
        """Through the proxy: the page (200), the block page (403), or a 421."""
        code, blocked, body, error = curl_via(*args)
        self.assertEqual(code, status, error)
        self.assertEqual(blocked, status == 403)
        if status != 421:
            self.assertIn("hello from" if status == 200 else "This site is blocked", body)

    def started_proxy(self):
        proxy = self.launch(self.conf)
        self.assertTrue(proxy.wait_for_output("ready"), proxy.err())
        return proxy

    # One proxy through its life: no rules, then rules deciding on where
    # traffic really goes, files a child plants at the rules path, and how
    # entries match.
    def test_decides_on_the_real_destination_and_keeps_the_last_good_rules(self):
        site = self.site("127.0.0.2")
        secure = self.site("127.0.0.2", tls=True)
        blocked = Listener("127.0.0.3")
        self.addCleanup(blocked.close)
        proxy = self.started_proxy()
        a = "127.0.0.2:%d" % site.port
        tls = str(secure.port)
        b = "127.0.0.3:%d" % blocked.port
        page_a, page_b = "http://%s/page" % a, "http://%s/page" % b
        page_tls, to_a = "https://127.0.0.2:%s/page" % tls, ":127.0.0.2:" + tls
        self.expect_answer([page_a], 403)

        replace_file(self.rules, '{"whitelist": ["127.0.0.2", "localhost"], "blacklist": []}')
        H, other, allowed = "-H", "Host: elsewhere.test", "Host: 127.0.0.2"
        elsewhere = "https://elsewhere.test:%s/page" % tls
        localhost = "https://localhost:%s/page" % tls
        # Plain, in a tunnel (-p), over TLS: to an allowed or a blocked
        # address, naming another host (403) or another allowed one (421: ask
        # again on a connection of its own); TLS server names not the
        # tunnel's destination.
        cases = [
            ([page_a], 200),
            ([page_b, H, allowed], 403),
            ([page_a, H, other], 403),
            (["-p", page_a], 200),
            (["-p", page_b, H, allowed], 403),
            (["-p", page_a, H, other], 403),
            ([page_tls], 200),
            ([page_tls, H, other], 403),
            ([page_tls, H, "Host: localhost"], 421),
            ([elsewhere, "--connect-to", "elsewhere.test:" + tls + to_a, H, allowed], 403),
            ([localhost, "--connect-to", "localhost:" + tls + to_a, H, allowed], 421),
            (["https://%s/page" % b], 403),
        ]
        served = 0
        for args, status in cases:
            with self.subTest(args=args):
                served += status == 200
                self.expect_answer(args, status)
        self.assertEqual(site.requests + secure.requests, served, "a refused request was forwarded")
        self.assertEqual(blocked.connections, 0)
        # A tunnel no entry admits reaches nothing, whatever it carries
        # (curl's telnet sends bytes that are neither HTTP nor TLS as they are).
        subprocess.run(["/bin/bash", "-c", "printf '\\x00\\x01 not HTTP\\n' | /usr/bin/curl -sS "
                        "--max-time 10 -p -x http://127.0.0.1:8080 telnet://" + b],
                       capture_output=True)
        self.assertEqual(blocked.connections, 0, "contacted")

        # Whatever the child puts at the rules path, a file the proxy cannot
        # use leaves the last good rules in force, and the proxy never hangs on it.
        replace_file(self.rules, '{"whitelist": ["127.0.0.2"], "blacklist": ["127.0.0.3"]}')
        opened = '{"whitelist": ["127.0.0.2", "127.0.0.3"], "blacklist": []}'
        open_json = os.path.join(self.dir, "open.json")
        write_text(open_json, opened)
        os.chmod(open_json, 0o644)
        d, rename = "D='%s'; " % self.data, " && mv -T $D/new $D/proxy_rules.json"
        plants = [
            "printf '[%.0s' $(seq 100000) > $D/new",
            "ln -s '%s' $D/new" % open_json,
            "mkfifo $D/new",
            "echo '[]' > $D/new",
            "{ printf '%%s' '%s'; head -c 9000000 /dev/zero | tr '\\0' ' '; } > $D/new" % opened,
            "printf '%%s' '%s' > $D/new; ln $D/new $D/other" % opened,
        ]
        for plant in plants:
            with self.subTest(plant=plant):
                r = as_nobody(d + plant + rename)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.expect_answer([page_a], 200)
                self.expect_answer([page_b], 403)
        self.assertIn("ignoring unreadable rules file", proxy.err())

    # Host names match with their subdomains, addresses only themselves, a
    # blacklist entry wins; names need not resolve. Each blocked host is
    # logged once a minute for the child named, whatever the name looks like;
    # the missing rules file is said once, at the start.
    def test_host_names_match_their_subdomains_and_each_block_is_logged_once_a_minute(self):
        proxy = self.started_proxy()
        self.expect_answer(["http://other.test:1/"], 403)
        replace_file(self.rules, """{"whitelist": ["example.test", "*.allowed.test",
            "https://site.test/path", "127.0.0.2", "[::1]:8443"],
            "blacklist": ["ads.example.test"]}""")
        for host in ["example.test", "www.example.test", "EXAMPLE.test.", "x.allowed.test",
                     "allowed.test", "site.test", "[::1]", "127.0.0.2"]:
            with self.subTest(host=host):
                self.assertFalse(curl_via("http://%s:1/" % host)[1])
        for host in ["127.0.0.20", "ads.example.test", "badexample.test",
                     "deep.ads.example.test", "example.test.evil", "other.test"]:
            with self.subTest(host=host):
                self.expect_answer(["http://%s:1/" % host], 403)
                self.expect_answer(["http://%s:1/" % host], 403)

        def logged(host):
            return proxy.out().splitlines().count("blocked %s for -x" % host)

        self.assertTrue(wait_until(lambda: logged("example.test.evil") > 0))
        for host in ["127.0.0.20", "other.test", "ads.example.test", "example.test.evil"]:
            self.assertEqual(logged(host), 1, host)
        self.assertEqual(proxy.err().count(NO_RULES), 1)

    # The authority comes only from a directory that is this user's alone,
    # and "ready" only once listening: anything else stops the proxy, and no
    # key is made elsewhere.
    def test_trusts_only_its_own_confdir_and_is_ready_only_once_listening(self):
        shared = os.path.join(self.dir, "shared")
        for confdir in [shared + "/planted", os.path.join(self.dir, "open"), shared + "/link",
                        os.path.join(self.dir, "missing"), self.conf]:
            with self.subTest(confdir=confdir):
                squatter = WebSite("127.0.0.1")  # the port taken, for the trusted directory
                try:
                    trusted = confdir == self.conf
                    refused = self.launch(confdir, squatter.port if trusted else PROXY_PORT)
                    code = refused.wait()
                finally:
                    squatter.close()
                self.assertNotIn(code, (None, 0))
                self.assertEqual("no trusted configuration directory" in refused.err(),
                                 not trusted, refused.err())
                self.assertNotIn("ready", refused.out())
                self.assertEqual(os.listdir(os.path.join(self.dir, "tmp")), [])
                self.assertEqual(os.listdir(shared + "/planted"), [])

    # What one client can make the proxy hold is bounded: a request head of
    # up to 64 KiB is served, a longer one refused with 431, an endless one
    # too with the proxy's memory hardly grown; one user's connections past
    # 256 are closed at once while another user's are served, and any past
    # 1024 in all.
    def test_bounds_request_heads_and_each_users_connections(self):
        write_text(self.rules, '{"whitelist": ["127.0.0.2"]}')
        site = self.site("127.0.0.2")
        page = "http://127.0.0.2:%d/page" % site.port
        proxy = self.started_proxy()

        def client(*args, uid=NOBODY):
            return self.start(["/usr/bin/python3", "-c", PROXY_CLIENT, *args], user=uid)

        # Four users with 256 connections each: each one's next is closed,
        # and another user is served until the 1024 in all are reached.
        holders = []
        for uid in range(NOBODY, NOBODY - 4, -1):
            with self.subTest(uid=uid):
                self.assertEqual(curl_via(page)[0], 200, "another user is served")
                holder = client("hold", "256", page, uid=uid)
                holders.append(holder)
                self.assertTrue(holder.wait_for_output("holding"), holder.err())
                self.assertIn("extra: closed\nlast: 200\n", holder.out())
        self.assertEqual(curl_via(page)[0], 0, "past 1024 in all: " + proxy.err())
        for said in ["refused a connection from uid 65534: 256 connections open from this user",
                     "refused a connection from uid 0: 1024 connections open in all"]:
            self.assertTrue(wait_until(lambda: said in proxy.err()), said)
        self.assertEqual(proxy_connections_open(), 1024)
        for holder in holders:
            holder.stop()
        self.assertTrue(wait_until(lambda: proxy_connections_open() == 0))
        # Sizes of the whole head, up to and including the blank line, asking
        # for a site no rule admits: a head the proxy reads gets its block
        # page (403). The user's connections above are released, or none is
        # answered.
        before = resident_kib(proxy.pid)
        heads = [("head", 64 * 1024 - 100, "403"), ("head", 64 * 1024, "403"),
                 ("head", 64 * 1024 + 1, "431"), ("blank", 256 * 1024, "431|closed"),
                 ("endless", 300, "431|closed")]
        for mode, size, answer in heads:
            with self.subTest(mode=mode, size=size):
                r = subprocess.run(["/usr/bin/python3", "-c", PROXY_CLIENT, mode, str(size),
                                    "http://127.0.0.3:1/"], user=NOBODY, group=NOBODY,
                                   extra_groups=[], capture_output=True, text=True)
                self.assertRegex(r.stdout, "^(%s)\n$" % answer, r.stderr)
        self.assertEqual(site.requests, 8, "one on each user's last connection, four of root's")
        self.assertLess(resident_kib(proxy.pid) - before, 32 * 1024, "KiB grown")
        self.assertIn("request head over 65536 bytes", proxy.err())

    # The proxy runs only as it expects to: on mitmproxy's internals as its
    # bounds know them, and on a listening socket when one is handed over.
    # Otherwise it stops at once and says why.
    def test_stops_when_mitmproxys_internals_or_its_socket_are_not_as_expected(self):
        site = self.site("127.0.0.2")
        connected = "exec 3<>/dev/tcp/127.0.0.2/%d" % site.port
        internals = "mitmproxy's internals are not as this proxy expects"
        # A change to a copy of mitmproxy found first, shell commands before
        # the proxy starts, its exit status and what it says.
        cases = [
            ("", "", "", 0, "ready"),
            ("proxy/layers/http/_http1.py",
             "s/self.buf.maybe_extract_lines()/self.head_lines()/", "", 3, internals),
            ("addons/proxyserver.py", "s/asyncio.start_server(/asyncio_utils.start_server(/",
             "", 3, internals),
            ("", "", "export TARVO_LISTEN_FD=x", 1, "TARVO_LISTEN_FD='x' is not an open socket"),
            ("", "", connected + "; export TARVO_LISTEN_FD=3", 1,
             "TARVO_LISTEN_FD=3 is not a socket listening on 127.0.0.1:8080"),
        ]
        for file, edit, before, code, says in cases:
            with self.subTest(file=file, before=before):
                copy = tempfile.mkdtemp(prefix="tarvo-mitmproxy-")
                self.addCleanup(shutil.rmtree, copy, True)
                subprocess.run(["/bin/cp", "-r", "/usr/lib/python3/dist-packages/mitmproxy",
                                copy + "/mitmproxy"], check=True)
                if file:
                    subprocess.run(["/bin/sed", "-i", edit, copy + "/mitmproxy/" + file],
                                   check=True)
                env = dict(self.env, PYTHONPATH=copy, HOME=copy,
                           PROXY_RULES_FILE=copy + "/none.json")
                proxy = self.start(["/bin/bash", "-c", before + "\nexec '" + PROXY +
                                    "' --port 8080 --host 127.0.0.1"], env=env)
                if code == 0:
                    self.assertTrue(proxy.wait_for_output(says), proxy.err())
                    proxy.stop()
                    continue
                self.assertEqual(proxy.wait(), code)
                self.assertIn(says, proxy.err())
                self.assertNotIn("ready", proxy.out())


def main():
    if os.geteuid() == 0 and os.environ.get(IN_NAMESPACE) != "1":
        probe = subprocess.run(["/usr/bin/unshare", "-n", "/bin/true"], capture_output=True)
        if probe.returncode == 0:
            env = dict(os.environ, **{IN_NAMESPACE: "1"})
            os.execve("/usr/bin/unshare", ["/usr/bin/unshare", "-n", sys.executable,
                                           os.path.abspath(__file__), *sys.argv[1:]], env)
        print("cannot make a network namespace: " + probe.stderr.decode(), file=sys.stderr)
    if os.environ.get(IN_NAMESPACE) == "1":
        loopback_up()
    unittest.main()


if __name__ == "__main__":
    main()
