"""The two policies: Basic proxy authentication (-a) and the domain
blacklist (-b). Refused requests get the proxy's own answer, their bodies
reach no origin, and the connection stays usable."""

import base64
import os
import tempfile
import unittest

from harness import Client, Origin, Proxy, curl, free_port, serving, stop_cleanly

AUTH_REQUIRED = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
                 b"Content-Length: 0\r\n\r\n")
NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
TUNNEL_OPEN = b"HTTP/1.1 200 OK\r\n\r\n"
CREDENTIALS = "user:pa:ss"
GOOD = "Basic " + base64.b64encode(CREDENTIALS.encode()).decode()


def described(proxy):
    """The request description lines logged so far."""
    return [l for l in proxy.output() if l.startswith("127.0.0.1:")]


def echo(sock, origin):
    while data := sock.recv(1 << 20):
        sock.sendall(data)


class Authentication(unittest.TestCase):
    def setUp(self):
        self.origin = Origin(serving())
        port = free_port()
        self.proxy = Proxy(port, "-a", CREDENTIALS, port=port)
        self.url = f"http://127.0.0.1:{self.origin.port}/"

    def tearDown(self):
        self.origin.close()
        stop_cleanly(self, self.proxy)

    def request(self, credentials_line="", method="GET", body=b""):
        head = f"{method} {self.url} HTTP/1.1\r\n{credentials_line}Content-Length: {len(body)}\r\n\r\n"
        return head.encode() + body

    def test_missing_or_wrong_credentials_get_407_and_no_log_line_then_a_retry_works(self):
        b64 = lambda text: base64.b64encode(text.encode()).decode()
        refused = [
            "",
            f"Proxy-Authorization: Basic {b64('user:wrong')}\r\n",
            f"Proxy-Authorization: basic {b64(CREDENTIALS)}\r\n",
            f"Proxy-Authorization: Basic{b64(CREDENTIALS)}\r\n",
            f"Proxy-Authorization: Basic {b64(CREDENTIALS + 'x')}\r\n",
            f"Proxy-Authorization: Basic {b64('user')}\r\n",
            "Proxy-Authorization: Basi\r\n",
        ]
        with Client(self.proxy.port) as c:
            for line in refused:
                c.send(self.request(line))
                self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED, line)
            # The same connection, now with credentials; the header name in any case.
            self.assertEqual(c.ask(self.request(f"proxy-authorization: {GOOD}\r\n")), b"ok")
            self.assertEqual(c.ask(self.request(f"Proxy-Authorization: {GOOD}\r\n")), b"ok")
        self.proxy.wait_for_line(lambda l: l.endswith(f" GET {self.url} HTTP/1.1 []"))
        self.assertEqual(len(described(self.proxy)), 2, self.proxy.output())
        self.assertEqual(len(self.origin.received), 2)
        for request in self.origin.received:
            self.assertNotIn(b"proxy-authorization", request.lower())

    def test_curl_with_and_without_proxy_user(self):
        proxy = f"http://127.0.0.1:{self.proxy.port}"
        refused = curl("-x", proxy, "-o", "/dev/null", "-w", "%{http_code}", self.url)
        self.assertEqual(refused.stdout, b"407")
        accepted = curl("-x", proxy, "--proxy-user", CREDENTIALS, self.url)
        self.assertEqual(accepted.stdout, b"ok", accepted.stderr)
        self.assertNotIn(b"proxy-authorization", self.origin.received[0].lower())

    def test_connect_without_credentials_gets_407_not_200(self):
        with Origin(echo) as origin, Client(self.proxy.port) as c:
            target = f"127.0.0.1:{origin.port}"
            c.send(f"CONNECT {target} HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
            c.send(f"CONNECT {target} HTTP/1.1\r\nProxy-Authorization: {GOOD}\r\n\r\nping".encode())
            self.assertEqual(c.exact(len(TUNNEL_OPEN) + 4), TUNNEL_OPEN + b"ping")
            self.assertEqual(origin.connections, 1)

    def test_body_of_a_refused_request_reaches_no_origin(self):
        authorized = f"Proxy-Authorization: {GOOD}\r\n"
        with Client(self.proxy.port) as c:
            self.assertEqual(c.ask(self.request(authorized)), b"ok")  # an upstream is now attached
            c.send(self.request("", "POST", b"SECRET-SIZED"))
            self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
            c.send(f"POST {self.url} HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "d\r\nSECRET-CHUNKS\r\n0\r\n\r\n".encode())
            self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
            self.assertEqual(c.ask(self.request(authorized, "POST", b"public")), b"ok")
        self.assertEqual(self.origin.connections, 1)
        self.assertEqual(len(self.origin.received), 2)
        self.assertTrue(self.origin.received[1].endswith(b"\r\n\r\npublic"))
        self.assertNotIn(b"SECRET", b"".join(self.origin.received))


class BlacklistCase(unittest.TestCase):
    """A proxy with a blacklist file holding `entries`, and an origin."""

    entries = []

    def setUp(self):
        f = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        f.write("\n".join(self.entries) + "\n")
        f.close()
        self.file = f.name
        self.origin = Origin(serving())
        port = free_port()
        self.proxy = Proxy(port, "-b", self.file, port=port)

    def tearDown(self):
        self.origin.close()
        os.unlink(self.file)
        stop_cleanly(self, self.proxy)

    def blocked(self):
        return [l for l in self.proxy.output() if l.startswith("Blocked: ")]


class Blacklist(BlacklistCase):
    entries = ["example.test", "xn--bcher-kva.invalid", "localhost", "27.0.0.1", "127.0.0"]

    def test_host_and_parent_domains_are_blocked_and_the_connection_stays_usable(self):
        p = self.origin.port
        with Client(self.proxy.port) as c:
            c.send(b"GET http://a.b.example.test/x HTTP/1.1\r\nHost: a.b.example.test\r\n\r\n")
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            self.assertEqual(c.ask(f"GET http://127.0.0.1:{p}/after HTTP/1.1\r\n\r\n".encode()), b"ok")
            c.send(b"CONNECT example.test:443 HTTP/1.1\r\n\r\n")
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            c.send(f"GET http://localhost:{p}/ HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            c.send("GET http://bücher.invalid/ HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            # Whole labels only, exact case: these are not listed.
            self.assertEqual(c.ask(f"GET http://LOCALHOST:{p}/upper HTTP/1.1\r\n\r\n".encode()), b"ok")
            self.assertEqual(c.ask(f"GET http://127.0.0.1:{p}/again HTTP/1.1\r\n\r\n".encode()), b"ok")
        self.proxy.wait_for_line(lambda l: l.endswith(f" GET http://127.0.0.1:{p}/again HTTP/1.1 []"))
        self.assertEqual(self.blocked(), [
            "Blocked: a.b.example.test (example.test)",
            "Blocked: example.test (example.test)",
            "Blocked: localhost (localhost)",
            "Blocked: xn--bcher-kva.invalid (xn--bcher-kva.invalid)"])
        self.assertFalse([l for l in self.proxy.output() if "getaddrinfo" in l])
        self.assertEqual([r.split(b" ")[1] for r in self.origin.received], [b"/after", b"/upper", b"/again"])

    def test_body_of_a_blocked_request_reaches_no_origin(self):
        with Client(self.proxy.port) as c:
            url = f"http://127.0.0.1:{self.origin.port}/"
            self.assertEqual(c.ask(f"GET {url} HTTP/1.1\r\n\r\n".encode()), b"ok")
            c.send(b"POST http://www.example.test/ HTTP/1.1\r\nContent-Length: 10\r\n\r\nSECRET-404")
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            self.assertEqual(c.ask(f"POST {url} HTTP/1.1\r\nContent-Length: 6\r\n\r\npublic".encode()), b"ok")
        self.assertEqual(self.origin.connections, 1)
        self.assertNotIn(b"SECRET", b"".join(self.origin.received))


class NumericBlacklist(BlacklistCase):
    """Address literals are walked label by label like names: an entry made
    of dotted tails of an address blocks it."""

    entries = ["1", "0.0.1"]

    def test_address_tails(self):
        with Origin(serving(), host="127.0.0.2") as other, Client(self.proxy.port) as c:
            for host in ("127.0.0.1", "127.0.1.1"):
                c.send(f"GET http://{host}:{self.origin.port}/ HTTP/1.1\r\n\r\n".encode())
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            self.assertEqual(c.ask(f"GET http://127.0.0.2:{other.port}/ HTTP/1.1\r\n\r\n".encode()), b"ok")
        self.assertEqual(self.blocked(), ["Blocked: 127.0.0.1 (0.0.1)", "Blocked: 127.0.1.1 (1)"])
        self.assertEqual(self.origin.connections, 0)


class AuthenticationBeforeBlocking(unittest.TestCase):
    def test_unauthenticated_request_for_a_blocked_host_gets_407_and_no_blocked_line(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write("example.test\n")
            f.flush()
            port = free_port()
            with Proxy(port, "-a", CREDENTIALS, "-b", f.name, port=port) as proxy, Client(port) as c:
                c.send(b"GET http://example.test/ HTTP/1.1\r\n\r\n")
                self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
                c.send(f"GET http://example.test/ HTTP/1.1\r\nProxy-Authorization: {GOOD}\r\n\r\n".encode())
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
                proxy.wait_for_line("Blocked: example.test (example.test)")
                self.assertEqual([l for l in proxy.output() if l.startswith("Blocked: ")],
                                 ["Blocked: example.test (example.test)"])


if __name__ == "__main__":
    unittest.main()
