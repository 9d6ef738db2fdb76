"""Basic proxy authentication (-a) and the domain blacklist (-b): refused requests get the proxy's own
answer, their bodies reach no origin, and the connection stays usable."""

import base64, unittest

from harness import AUTH_REQUIRED, NOT_FOUND, TUNNEL_OPEN, ProxyTest, echo, temp_file

CREDENTIALS = "user:pa:ss"


def b64(text):
    return base64.b64encode(text.encode()).decode()


GOOD = f"Proxy-Authorization: Basic {b64(CREDENTIALS)}\r\n"


class Authentication(ProxyTest):
    options = ("-a", CREDENTIALS)

    def test_refused_requests_get_407_no_line_and_no_byte_upstream_then_a_retry_works(self):
        """On one connection with an upstream attached: wrong credentials of
        every kind and their bodies (sized and chunked) go nowhere; the header
        is accepted in lower case and never forwarded; CONNECT gets 407, not 200."""
        origin, echoing = self.origin(), self.origin(echo)
        url = f"http://127.0.0.1:{origin.port}/"
        post = lambda auth, body: f"POST {url} HTTP/1.1\r\n{auth}Content-Length: {len(body)}\r\n\r\n{body}"
        refused = ["", f"Proxy-Authorization: Basic {b64('user:wrong')}\r\n",
                   f"Proxy-Authorization: basic {b64(CREDENTIALS)}\r\n",
                   f"Proxy-Authorization: Basic{b64(CREDENTIALS)}\r\n",
                   f"Proxy-Authorization: Basic {b64(CREDENTIALS + 'x')}\r\n",
                   f"Proxy-Authorization: Basic {b64('user')}\r\n", "Proxy-Authorization: Basi\r\n"]
        with self.client() as c:
            self.assertEqual(c.ask(post(GOOD, "first").encode()), b"ok")
            for line in refused:
                c.send(post(line, "SECRET-SIZED").encode())
                self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED, line)
            c.send(f"POST {url} HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nd\r\nSECRET-CHUNKS\r\n0\r\n\r\n".encode())
            self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
            self.assertEqual(c.ask(post(GOOD.replace("Proxy-A", "proxy-a"), "public").encode()), b"ok")
            c.send(f"CONNECT 127.0.0.1:{echoing.port} HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED)
            c.send(f"CONNECT 127.0.0.1:{echoing.port} HTTP/1.1\r\n{GOOD}\r\nping".encode())
            self.assertEqual(c.exact(len(TUNNEL_OPEN) + 4), TUNNEL_OPEN + b"ping")
        self.assertEqual(echoing.connections, 1)
        self.proxy.wait_for_line(lambda l: " CONNECT " in l)
        self.assertEqual([r.rsplit(b"\r\n\r\n", 1)[1] for r in origin.received], [b"first", b"public"])
        self.assertNotIn(b"SECRET", b"".join(origin.received))
        self.assertNotIn(b"proxy-authorization", b"".join(origin.received).lower())
        self.assertEqual(origin.connections, 1)
        self.assertEqual(len([l for l in self.proxy.output() if l.startswith("127.0.0.1:")]), 3, self.proxy.output())


class Blacklist(ProxyTest):
    options = ("-b", temp_file("example.test\nxn--bcher-kva.invalid\nlocalhost\n27.0.0.1\n127.0.0\n0.1.1\n"))

    def test_hosts_and_their_subdomains_are_blocked_and_the_connection_stays_usable(self):
        """Whole labels only, exact case; IDN hosts match their xn-- form;
        address literals are walked like names; blocked bodies go nowhere."""
        origin = self.origin()
        p = origin.port
        with self.client() as c:
            self.assertEqual(c.ask(f"GET http://127.0.0.1:{p}/first HTTP/1.1\r\n\r\n".encode()), b"ok")
            for request in (b"POST http://a.b.example.test/x HTTP/1.1\r\nContent-Length: 10\r\n\r\nSECRET-404",
                            b"CONNECT example.test:443 HTTP/1.1\r\n\r\n",
                            b"GET http://localhost:%d/ HTTP/1.1\r\n\r\n" % p,
                            "GET http://bücher.invalid/ HTTP/1.1\r\n\r\n".encode(),
                            b"GET http://127.0.1.1:%d/ HTTP/1.1\r\n\r\n" % p):
                c.send(request)
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND, request)
            self.assertEqual(c.ask(f"GET http://LOCALHOST:{p}/upper HTTP/1.1\r\n\r\n".encode()), b"ok")
            self.assertEqual(c.ask(f"GET http://127.0.0.1:{p}/again HTTP/1.1\r\n\r\n".encode()), b"ok")
        self.proxy.wait_for_line(lambda l: l.endswith(f" GET http://127.0.0.1:{p}/again HTTP/1.1 []"))
        self.assertEqual([l for l in self.proxy.output() if l.startswith("Blocked: ")], [
            "Blocked: a.b.example.test (example.test)", "Blocked: example.test (example.test)",
            "Blocked: localhost (localhost)", "Blocked: xn--bcher-kva.invalid (xn--bcher-kva.invalid)",
            "Blocked: 127.0.1.1 (0.1.1)"])
        self.assertFalse([l for l in self.proxy.output() if "getaddrinfo" in l])
        self.assertEqual([r.split(b" ")[1] for r in origin.received], [b"/first", b"/upper", b"/again"])


if __name__ == "__main__":
    unittest.main()
