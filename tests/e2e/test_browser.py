"""A real browser through the proxy: headless Chromium loads a page whose
parts come from several loopback origins, all through the proxy. Checks what
the page rendered, what each origin served and what the proxy logged, and
saves a screenshot for a person to look at.

Chromium is driven over its DevTools protocol on a pipe (fds 3 and 4), so
nothing beyond Python's standard library and the browser itself is needed.
"""

import base64
import fcntl
import http.server
import json
import os
import re
import shutil
import signal
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request
import zlib

from harness import Proxy, free_port

CHROMIUM = shutil.which("chromium")
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# One description line per request: client address:port, method, target,
# version and the user agent in brackets.
REQUEST_LINE = re.compile(r"^127\.0\.0\.1:\d+ (\S+) (\S+) (HTTP/1\.[01]) \[(.*)\]$")


def png(width, height, rgb):
    """A solid-colour PNG image."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(rows))
        + chunk(b"IEND", b"")
    )


def above_nine(fd):
    """A copy of fd numbered 10 or more; fd itself is closed."""
    high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return high


class Site:
    """A loopback HTTP(S) origin with fixed content. Counts the TCP
    connections it accepted and records (method, path) of every request it
    answered, favicon and other unknown paths included (those get 404)."""

    def __init__(self, pages, context=None):
        # path -> (status, content type, body, [(header, value)]), or a
        # callable(handler, request body) that returns one.
        self.pages = pages
        self.requests = []
        self.headers = []  # the names of all header lines received
        self.connections = 0
        self.lock = threading.Lock()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            timeout = 20

            def log_message(self, *args):
                pass

            def answer(self, body):
                with site.lock:
                    site.requests.append((self.command, self.path))
                    site.headers.extend(name.lower() for name in self.headers.keys())
                entry = site.pages.get(self.path)
                if callable(entry):
                    entry = entry(self, body)
                if entry is None:
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                status, kind, data, extra = entry
                self.send_response(status)
                if kind:
                    self.send_header("Content-Type", kind)
                for name, value in extra:
                    self.send_header(name, value)
                self.send_header("Cache-Control", "no-store")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                self.answer(b"")

            def do_OPTIONS(self):
                self.answer(b"")

            def do_POST(self):
                self.answer(self.rfile.read(int(self.headers.get("Content-Length") or 0)))

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def get_request(self):
                sock, address = self.socket.accept()
                with site.lock:
                    site.connections += 1
                if context is not None:
                    # The handshake happens in the connection's own thread,
                    # on its first read, so one slow client blocks nobody.
                    sock = context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
                return sock, address

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def served(self):
        with self.lock:
            return sorted(self.requests)

    def header_names(self):
        with self.lock:
            return sorted(set(self.headers))

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class DevTools:
    """Chromium's DevTools protocol over --remote-debugging-pipe: JSON
    messages ended by a NUL byte; the browser reads fd 3 and writes fd 4."""

    def __init__(self, to_browser, from_browser):
        self.out = os.fdopen(to_browser, "wb", buffering=0)
        self.inp = os.fdopen(from_browser, "rb", buffering=0)
        self.next_id = 0
        self.replies = {}
        self.cond = threading.Condition()
        self.closed = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = self.inp.read(1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self.cond:
                    self.closed = True
                    self.cond.notify_all()
                return
            pending += chunk
            *messages, pending = pending.split(b"\0")
            for raw in messages:
                message = json.loads(raw)
                if "id" in message:
                    with self.cond:
                        self.replies[message["id"]] = message
                        self.cond.notify_all()

    def call(self, method, params=None, session=None, timeout=30):
        with self.cond:
            self.next_id += 1
            ident = self.next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        try:
            self.out.write(json.dumps(message).encode() + b"\0")
        except OSError as e:
            raise AssertionError(f"DevTools {method}: the browser is gone ({e})")
        end = time.time() + timeout
        with self.cond:
            while ident not in self.replies:
                left = end - time.time()
                if left <= 0 or self.closed:
                    raise AssertionError(f"no DevTools answer to {method}")
                self.cond.wait(left)
            reply = self.replies.pop(ident)
        if "error" in reply:
            raise AssertionError(f"DevTools {method} failed: {reply['error']}")
        return reply["result"]

    def close(self):
        self.out.close()
        self.reader.join(5)
        self.inp.close()


PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Through the proxy</title>
<script>
function report(id, text, ok) {{
  var e = document.getElementById(id);
  e.textContent = text;
  e.dataset.state = ok ? "ok" : "bad";
}}
// The https frame cannot be read across origins; it says hello instead.
window.addEventListener("message", function (m) {{
  if (m.origin === "{secure}") report("secure", String(m.data), true);
}});
</script>
<link rel="stylesheet" href="{assets}/style.css">
</head><body>
<h1>Page from origin A</h1>
<ul>
<li>stylesheet: <span id="style" data-check>pending</span></li>
<li>script: <span id="script" data-check>pending</span></li>
<li>fetched JSON: <span id="data" data-check>pending</span></li>
<li>posted JSON: <span id="echo" data-check>pending</span></li>
<li>PNG image: <span id="png" data-check>pending</span>
  <img src="{assets}/square.png" width="32" height="32" alt="png"
       onload="report('png', 'loaded ' + this.naturalWidth + 'x' + this.naturalHeight, true)"
       onerror="report('png', 'failed', false)"></li>
<li>SVG image: <span id="svg" data-check>pending</span>
  <img src="{assets}/circle.svg" width="32" height="32" alt="svg"
       onload="report('svg', 'loaded', true)" onerror="report('svg', 'failed', false)"></li>
<li>https frame: <span id="secure" data-check>pending</span></li>
<li>blocked image: <span id="blocked" data-check>pending</span>
  <img src="{blocked}/blocked.png" width="32" height="32" alt="blocked"
       onload="report('blocked', 'loaded', false)" onerror="report('blocked', 'failed to load', true)"></li>
</ul>
<iframe src="{secure}/frame.html" width="420" height="90"></iframe>
<script src="{assets}/app.js"></script>
</body></html>
"""

STYLE = """body { font-family: sans-serif; margin: 24px; }
h1 { color: rgb(0, 0, 128); }
#style { color: rgb(0, 128, 0); font-weight: bold; }
[data-state="ok"] { color: rgb(0, 128, 0); }
[data-state="bad"] { color: rgb(200, 0, 0); }
iframe { border: 2px solid rgb(0, 0, 128); }
"""

SCRIPT = """report("script", "ran", true);
var color = getComputedStyle(document.getElementById("style")).color;
report("style", color === "rgb(0, 128, 0)" ? "applied" : "not applied (" + color + ")", color === "rgb(0, 128, 0)");
fetch("{assets}/data.json")
  .then(function (r) {{ return r.json(); }})
  .then(function (d) {{ report("data", d.message, true); }})
  .catch(function (e) {{ report("data", "failed: " + e, false); }});
// A JSON body makes this a preflighted request: OPTIONS, then the POST.
fetch("{assets}/echo", {{method: "POST", headers: {{"Content-Type": "application/json"}},
                        body: JSON.stringify({{word: "{word}"}})}})
  .then(function (r) {{ return r.json(); }})
  .then(function (d) {{ report("echo", "echoed " + d.word, true); }})
  .catch(function (e) {{ report("echo", "failed: " + e, false); }});
"""

FRAME = """<!doctype html>
<html><head><meta charset="utf-8"></head>
<body style="margin:0;padding:8px;font-family:sans-serif;background:rgb(220,240,220)">
<b>https frame from origin C</b>
<script>parent.postMessage("hello over " + location.protocol, "*");</script>
</body></html>
"""

CIRCLE = b"""<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32">
<circle cx="16" cy="16" r="14" fill="rgb(0,0,160)"/></svg>
"""

# Polled in the page until every check has settled.
SETTLED = """JSON.stringify(Array.from(document.querySelectorAll("[data-check]"))
  .map(function (e) { return [e.id, e.textContent, e.dataset.state || ""]; }))"""


@unittest.skipIf(CHROMIUM is None, "chromium is not installed (Debian package chromium); tests/run.sh installs it")
class Browser(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="proxy-browser-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def certificate(self):
        key = os.path.join(self.tmp, "key.pem")
        cert = os.path.join(self.tmp, "cert.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-days", "1",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60,
        )
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        return context

    def start_sites(self):
        """Origins: A the page, B its assets, C an https frame, D a host the
        blacklist names. A, B and C are reached as 127.0.0.1, D as localhost,
        so only D is blocked."""
        self.word = "through-%d" % os.getpid()
        secure = Site({"/frame.html": (200, "text/html; charset=utf-8", FRAME.encode(), [])}, self.certificate())
        self.addCleanup(secure.close)
        blocked = Site({"/blocked.png": (200, "image/png", png(32, 32, (200, 0, 0)), [])})
        self.addCleanup(blocked.close)
        assets = Site({})
        self.addCleanup(assets.close)
        page = Site({})
        self.addCleanup(page.close)

        urls = {
            "assets": f"http://127.0.0.1:{assets.port}",
            "secure": f"https://127.0.0.1:{secure.port}",
            "blocked": f"http://localhost:{blocked.port}",
            "word": self.word,
        }
        page.pages["/"] = (200, "text/html; charset=utf-8", PAGE.format(**urls).encode(), [])
        cors = [("Access-Control-Allow-Origin", f"http://127.0.0.1:{page.port}")]

        def echo(handler, body):
            if handler.command == "OPTIONS":
                return (204, None, b"", cors + [("Access-Control-Allow-Methods", "POST"),
                                                ("Access-Control-Allow-Headers", "Content-Type")])
            return (200, "application/json", body, cors)

        assets.pages.update({
            "/style.css": (200, "text/css", STYLE.encode(), []),
            "/app.js": (200, "text/javascript", SCRIPT.format(**urls).encode(), []),
            "/data.json": (200, "application/json", json.dumps({"message": "hello from origin B"}).encode(), cors),
            "/echo": echo,
            "/square.png": (200, "image/png", png(32, 32, (0, 160, 0)), []),
            "/circle.svg": (200, "image/svg+xml", CIRCLE, []),
        })
        return page, assets, secure, blocked

    def start_chromium(self, proxy_port):
        """Chromium in its own process group, talking DevTools on a pipe."""
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        # The browser's ends go above 9 first, so that moving them onto fds
        # 3 and 4 cannot overwrite one with the other.
        to_browser_r, from_browser_w = (above_nine(fd) for fd in (to_browser_r, from_browser_w))
        profile = os.path.join(self.tmp, "profile")
        self.config = os.path.join(self.tmp, "config")
        flags = [
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--disable-features=NetworkTimeServiceQuerying",
            f"--user-data-dir={profile}", "--window-size=900,700",
            f"--proxy-server=http://127.0.0.1:{proxy_port}",
            # Without this Chromium goes straight to loopback addresses.
            "--proxy-bypass-list=<-loopback>",
            "--ignore-certificate-errors", "--remote-debugging-pipe", "about:blank",
        ]
        # bash only moves the pipe ends onto the fds Chromium expects (dash
        # cannot: it takes one-digit fds only), then becomes Chromium.
        shell = f'exec "$0" "$@" 3<&{to_browser_r} 4>&{from_browser_w} {to_browser_r}<&- {from_browser_w}>&-'
        self.chromium_log = os.path.join(self.tmp, "chromium.log")
        with open(self.chromium_log, "wb") as log:
            # Its crash handler keeps its files under XDG_CONFIG_HOME: there
            # they stay out of the home directory, and the handler's command
            # line names this test's own directory.
            env = dict(os.environ, XDG_CONFIG_HOME=self.config)
            proc = subprocess.Popen(
                ["/bin/bash", "-c", shell, CHROMIUM, *flags],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                pass_fds=(to_browser_r, from_browser_w), start_new_session=True,
            )
        os.close(to_browser_r)
        os.close(from_browser_w)
        devtools = DevTools(to_browser_w, from_browser_r)
        # Cleanups run last first: the browser is gone before its pipe closes.
        self.addCleanup(devtools.close)
        self.addCleanup(self.stop_chromium, proc)
        try:
            devtools.call("Browser.getVersion")
        except AssertionError as e:
            self.fail(f"{e}\nchromium said:\n{self.chromium_tail()}")
        return devtools

    def stop_chromium(self, proc):
        """Ends the process group this test started: the browser and every
        helper process it forked. The leader is reaped only after the group
        is gone, so the group id cannot have been reused."""
        end = time.time() + 5
        while time.time() < end and os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
            time.sleep(0.05)
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(10)
        # The crash handler starts a session of its own, so the group kill
        # misses it. It ends by itself once the browser is gone; one that
        # lingers is found by its database in this test's directory.
        end = time.time() + 5
        while (strays := self.strays()) and time.time() < end:
            time.sleep(0.05)
        for pid in strays:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def strays(self):
        """Processes whose command line names this run's XDG_CONFIG_HOME."""
        marker = self.config.encode()
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit() and int(entry) != os.getpid():
                try:
                    with open(f"/proc/{entry}/cmdline", "rb") as f:
                        if marker in f.read():
                            found.append(int(entry))
                except OSError:
                    pass
        return found

    def chromium_tail(self):
        with open(self.chromium_log, "rb") as f:
            return f.read()[-4000:].decode("utf-8", "replace")

    def test_page_with_several_origins_loads_through_the_proxy(self):
        started = time.time()
        page, assets, secure, blocked = self.start_sites()
        # localhost is the blocked origin D. Chromium also sends requests of
        # its own through the proxy whatever its flags say (update checks,
        # account and time look-ups, all under .com); the top-level domains
        # make the proxy refuse those before any name lookup, so nothing
        # leaves this machine.
        blacklist = os.path.join(self.tmp, "blacklist")
        with open(blacklist, "w") as f:
            f.write("localhost\ncom\nnet\norg\n")
        port = free_port()
        proxy = Proxy(port, "-b", blacklist, port=port)
        self.addCleanup(proxy.stop)

        devtools = self.start_chromium(proxy.port)
        target = devtools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = devtools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        devtools.call("Page.navigate", {"url": f"http://127.0.0.1:{page.port}/"}, session=session)

        def evaluate(expression):
            reply = devtools.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                                  session=session)
            return reply["result"].get("value")

        checks = []
        end = time.time() + 30
        while time.time() < end:
            value = evaluate(SETTLED)
            checks = json.loads(value) if value else []
            if checks and all(state for _, _, state in checks):
                break
            time.sleep(0.1)
        html = evaluate("document.documentElement.outerHTML") or ""
        shot = devtools.call("Page.captureScreenshot", {"format": "png"}, session=session)["data"]
        artifacts = os.environ.get("ARTIFACTS_DIR") or os.path.join(REPO, "artifacts")
        os.makedirs(artifacts, exist_ok=True)
        picture = os.path.join(artifacts, "browser-through-proxy.png")
        with open(picture, "wb") as f:
            f.write(base64.b64decode(shot))
        print(f"\nscreenshot of the page through the proxy: {picture}")

        # What the page rendered: every part arrived but the blocked one.
        seen = {ident: (text, state) for ident, text, state in checks}
        context = "\nchecks: %s\nchromium said:\n%s" % (seen, self.chromium_tail())
        self.assertEqual(seen.get("script"), ("ran", "ok"), context)
        self.assertEqual(seen.get("style"), ("applied", "ok"), context)
        self.assertEqual(seen.get("data"), ("hello from origin B", "ok"), context)
        self.assertEqual(seen.get("echo"), (f"echoed {self.word}", "ok"), context)
        self.assertEqual(seen.get("png"), ("loaded 32x32", "ok"), context)
        self.assertEqual(seen.get("svg"), ("loaded", "ok"), context)
        self.assertEqual(seen.get("secure"), ("hello over https:", "ok"), context)
        self.assertEqual(seen.get("blocked"), ("failed to load", "ok"), context)
        self.assertIn(">hello from origin B<", html)

        def described():
            """(method, target) of every description line so far."""
            return [(m.group(1), m.group(2)) for line in proxy.output() if (m := REQUEST_LINE.match(line))]

        def logged(site):
            prefix = f"http://127.0.0.1:{site.port}"
            return sorted((method, target[len(prefix):] or "/") for method, target in described()
                          if target == prefix or target.startswith(prefix + "/"))

        def tunnels():
            return [t for method, t in described() if method == "CONNECT" and t == f"127.0.0.1:{secure.port}"]

        # Every request A and B answered went through the proxy and was
        # described once, and the other way round. The proxy describes a
        # request before forwarding it; the pipe from it may lag a little,
        # and the browser may still have a request on its way (the favicon).
        end = time.time() + 5
        while time.time() < end and (logged(page) != page.served() or logged(assets) != assets.served()
                                     or len(tunnels()) != secure.connections):
            time.sleep(0.05)
        log = "\nproxy log:\n" + "\n".join(proxy.output())
        self.assertEqual(logged(page), page.served(), log)
        self.assertEqual(logged(assets), assets.served(), log)
        self.assertIn(("GET", "/"), page.served())
        for request in [("GET", "/style.css"), ("GET", "/app.js"), ("GET", "/data.json"), ("OPTIONS", "/echo"),
                        ("POST", "/echo"), ("GET", "/square.png"), ("GET", "/circle.svg")]:
            self.assertIn(request, assets.served(), log)
        # Proxy-Connection and the like stay between browser and proxy.
        for site in (page, assets):
            self.assertEqual([h for h in site.header_names() if h.startswith("proxy")], [], log)

        # C, over https: one CONNECT line per connection C accepted.
        self.assertGreaterEqual(len(tunnels()), 1, log)
        self.assertEqual(len(tunnels()), secure.connections, log)
        self.assertIn(("GET", "/frame.html"), secure.served())

        # D: each request for it was described, then blocked; none reached D.
        lines = proxy.output()
        to_blocked = [i for i, line in enumerate(lines) if (m := REQUEST_LINE.match(line))
                      and m.group(2).startswith(f"http://localhost:{blocked.port}/")]
        self.assertGreaterEqual(len(to_blocked), 1, log)
        for i in to_blocked:
            self.assertEqual(lines[i + 1 : i + 2], ["Blocked: localhost (localhost)"], log)
        self.assertEqual(lines.count("Blocked: localhost (localhost)"), len(to_blocked), log)
        self.assertEqual((blocked.served(), blocked.connections), ([], 0))
        # D itself was up: the proxy, not D, refused the image.
        with urllib.request.urlopen(f"http://127.0.0.1:{blocked.port}/blocked.png", timeout=10) as direct:
            self.assertEqual(direct.status, 200)

        # Whatever else the browser asked for was blocked before any lookup,
        # and every description names the browser as the user agent.
        ours = [f"http://127.0.0.1:{site.port}" for site in (page, assets)] + [f"127.0.0.1:{secure.port}"]
        for i, line in enumerate(lines):
            m = REQUEST_LINE.match(line)
            if not m:
                continue
            self.assertIn("Chrome/", m.group(4), line)
            target = m.group(2)
            if not any(target == o or target.startswith(o + "/") for o in ours):
                self.assertTrue(lines[i + 1 : i + 2] and lines[i + 1].startswith("Blocked: "), log)
        self.assertFalse([line for line in lines if line.startswith(("getaddrinfo()", "No addresses"))], log)

        try:
            devtools.call("Browser.close", timeout=10)
        except AssertionError:
            pass  # the pipe may close before the answer comes
        print(f"browser test took {time.time() - started:.1f} s")


if __name__ == "__main__":
    unittest.main()
