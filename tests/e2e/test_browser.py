"""Headless Chromium loads, through the proxy, a page with parts from several loopback origins. Checks what
the page's script wrote into the DOM, what each origin served and the proxy logged; saves a screenshot."""

import os, re, shutil, signal, subprocess, unittest

from harness import TMP, ProxyTest, over_tls, response, serving, temp_file, wait_until

CHROMIUM = shutil.which("chromium")
ARTIFACTS = os.environ.get("ARTIFACTS_DIR") or os.path.join(os.path.dirname(__file__), "../../artifacts")
REQUEST_LINE = re.compile(r"^127\.0\.0\.1:\d+ (\S+) (\S+) HTTP/1\.[01] \[(.*)\]$")  # address, method, target, agent
PAGE = """<!doctype html><html><head><meta charset="utf-8"><title>Through the proxy</title><script>
function report(id, text, ok) {{
  var e = document.getElementById(id); e.textContent = text; e.dataset.state = ok ? "ok" : "bad";
}}
// The https frame cannot be read across origins; it says hello instead.
window.addEventListener("message", function (m) {{ if (m.origin === "{secure}") report("secure", m.data, true); }});
</script></head><body><h1>Page from origin A</h1><ul><li>script: <span id="script">pending</span></li>
<li>fetched JSON: <span id="data">pending</span></li><li>https frame: <span id="secure">pending</span></li>
<li>blocked image: <span id="blocked">pending</span> <img src="{blocked}/blocked.svg"
  onload="report('blocked', 'loaded', false)" onerror="report('blocked', 'failed to load', true)"></li>
</ul><iframe src="{secure}/frame.html" width="420" height="60"></iframe><script src="{assets}/app.js"></script>"""
SCRIPT = """report("script", "ran", true);
fetch("{assets}/data.json").then(function (r) {{ return r.json(); }})
  .then(function (d) {{ report("data", d.message, true); }}, function (e) {{ report("data", "failed: " + e, false); }});
"""
FRAME = b"""<!doctype html><body style="background:rgb(220,240,220)"><b>https frame from origin C</b>
<script>parent.postMessage("hello over " + location.protocol, "*");</script></body>"""


@unittest.skipIf(CHROMIUM is None, "chromium is not installed (Debian package chromium); tests/run.sh installs it")
class Browser(ProxyTest):
    # localhost is the blocked origin D. Chromium's own requests (update checks, account and time look-ups,
    # all under .com) go through the proxy whatever its flags say; it refuses them before any name lookup.
    options = ("-b", temp_file("localhost\ncom\nnet\norg\n"))

    def site(self, pages, tls=False):
        """An origin serving pages {path: (content type, body)}; other paths get an empty text."""
        def answer(request):
            kind, body = pages.get(request.split(b" ")[1].decode(), ("text/plain", b""))
            return response(body, b"Content-Type: %s\r\nAccess-Control-Allow-Origin: *\r\n" % kind.encode())

        return self.origin(over_tls(serving(answer)) if tls else serving(answer))

    def test_page_with_several_origins_loads_through_the_proxy(self):
        """Origins: A the page, B its assets, C an https frame (reached through
        CONNECT), D a host the blacklist names (as localhost; the rest as 127.0.0.1)."""
        page, assets = {}, {}
        secure, blocked = self.site({"/frame.html": ("text/html", FRAME)}, tls=True), self.site({})
        page_site, assets_site = self.site(page), self.site(assets)
        urls = {"assets": f"http://127.0.0.1:{assets_site.port}", "secure": f"https://127.0.0.1:{secure.port}",
                "blocked": f"http://localhost:{blocked.port}"}
        page["/"] = ("text/html; charset=utf-8", PAGE.format(**urls).encode())
        assets.update({"/app.js": ("text/javascript", SCRIPT.format(**urls).encode()),
                       "/data.json": ("application/json", b'{"message": "hello from origin B"}')})
        os.makedirs(ARTIFACTS, exist_ok=True)
        picture = os.path.join(ARTIFACTS, "browser-through-proxy.png")
        if os.path.exists(picture):
            os.unlink(picture)
        chromium = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
             "--disable-background-networking", "--disable-component-update", "--disable-dev-shm-usage",
             f"--user-data-dir={TMP}/profile", f"--proxy-server=http://127.0.0.1:{self.proxy.port}",
             "--proxy-bypass-list=<-loopback>",  # without it Chromium goes straight to loopback addresses
             "--ignore-certificate-errors", "--disable-quic", "--virtual-time-budget=10000", "--window-size=900,700",
             "--dump-dom", f"--screenshot={picture}", f"http://127.0.0.1:{page_site.port}/"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
            env={**os.environ, "XDG_CONFIG_HOME": f"{TMP}/config"})  # its crash handler's files stay here
        try:
            dom, errors = chromium.communicate(timeout=60)
        finally:
            if chromium.poll() is None:
                os.killpg(chromium.pid, signal.SIGKILL)  # the browser and the helpers it forked
                chromium.wait()
        print(f"\nscreenshot of the page through the proxy: {picture}")

        # What the page's script wrote: every part arrived but the blocked one.
        dom = dom.decode("utf-8", "replace")
        seen = {m[0]: (m[2], m[1]) for m in re.findall(r'<span id="(\w+)" data-state="(\w+)">([^<]*)</span>', dom)}
        context = f"\nDOM:\n{dom}\nchromium said:\n{errors.decode('utf-8', 'replace')[-3000:]}"
        self.assertEqual(seen, {"script": ("ran", "ok"), "data": ("hello from origin B", "ok"),
                                "secure": ("hello over https:", "ok"), "blocked": ("failed to load", "ok")}, context)
        self.assertGreater(os.path.getsize(picture), 1000, context)

        # Every request A and B answered was described once, and the other way round; one CONNECT line per
        # connection C accepted. The pipe from the proxy may lag a little behind the origins.
        sites = (page_site, assets_site)
        ours = (*(f"http://127.0.0.1:{site.port}/" for site in sites), f"127.0.0.1:{secure.port}")

        def described():  # for each of ours, "method target" of the description lines whose target starts so
            found = [m for m in map(REQUEST_LINE.match, self.proxy.output()) if m]
            return [sorted(f"{m[1]} {m[2]}" for m in found if m[2].startswith(target)) for target in ours]

        def served():  # the same for the requests each site answered
            requests = [[r.decode().split()[:2] for r in site.received] for site in sites]
            return [sorted(f"{method} {target[:-1]}{path}" for method, path in answered)
                    for answered, target in zip(requests, ours)] + [[f"CONNECT {ours[2]}"] * secure.connections]

        wait_until(lambda: described() == served(), 5)
        lines = self.proxy.output()
        log = "\nproxy log:\n" + "\n".join(lines)
        self.assertEqual(described(), served(), log)

        # Whatever else the browser asked for, D's image included, was blocked
        # before any lookup, and every description names the browser as the agent.
        for i, line in enumerate(lines):
            if m := REQUEST_LINE.match(line):
                self.assertIn("Chrome/", m[3], line)
                if not m[2].startswith(ours):
                    d = m[2].startswith(f"http://localhost:{blocked.port}/")
                    wanted = "Blocked: localhost (localhost)" if d else "Blocked: "
                    self.assertTrue(lines[i + 1 : i + 2] and lines[i + 1].startswith(wanted), log)
        self.assertIn("Blocked: localhost (localhost)", lines, log)
        self.assertEqual(blocked.connections, 0)
        self.assertFalse([line for line in lines if line.startswith(("getaddrinfo()", "No addresses"))], log)
