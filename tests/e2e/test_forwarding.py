"""Plain HTTP forwarding: what the origin receives, the request description
line, upstream reuse, and how responses reach the client."""

import hashlib
import http.client
import os
import time
import unittest
import urllib.request

from harness import (Client, Origin, Proxy, Reader, curl, free_port, pipe_body, read_request, response, serving,
                     stop_cleanly)

BAD_GATEWAY = b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nUnable to connect"


class ProxyAndOrigin(unittest.TestCase):
    """A proxy and one keep-alive origin that answers "ok" to every request."""

    answer = staticmethod(lambda request: response())

    def setUp(self):
        self.origin = Origin(serving(self.answer))
        self.proxy = Proxy()
        self.target = f"127.0.0.1:{self.origin.port}"

    def tearDown(self):
        self.origin.close()
        stop_cleanly(self, self.proxy)

    def client(self, timeout=10):
        return Client(self.proxy.port, timeout)


class RewrittenRequest(ProxyAndOrigin):
    def test_origin_form_and_hop_by_hop_headers_dropped_in_any_case(self):
        t = self.target
        with self.client() as c:
            body = c.ask((
                f"GET http://{t}/p/a?q=1 HTTP/1.1\r\n"
                f"Host: {t}\r\n"
                "User-Agent: raw/1\r\n"
                "Proxy-Authorization: Basic dTpw\r\n"
                "proxy-authorization: Basic dTpw\r\n"
                "Proxy-Connection: keep-alive\r\n"
                "PROXY-CONNECTION: keep-alive\r\n"
                "Connection: keep-alive\r\n"
                "connection: x\r\n"
                "Connection-Extra: y\r\n"
                "X-Custom: MiXeD Value\r\n"
                "accept: */*\r\n\r\n").encode())
            self.assertEqual(body, b"ok")
        self.assertEqual(self.origin.received, [
            f"GET /p/a?q=1 HTTP/1.1\r\nHost: {t}\r\nUser-Agent: raw/1\r\nX-Custom: MiXeD Value\r\n"
            "accept: */*\r\n\r\n".encode()])

    def test_bodies_pass_unchanged_and_pipelined_requests_are_rewritten_too(self):
        t = self.target
        sized = f"POST http://{t}/sized HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world".encode()
        chunked = (f"PUT http://{t}/chunked HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n").encode()
        bare = f"GET http://{t}/bare HTTP/1.1\r\n\r\n".encode()
        with self.client() as c:
            c.send(sized + chunked + bare + bare)  # one write: the proxy sees them together
            for _ in range(4):
                self.assertEqual(c.response()[1], b"ok")
        self.assertEqual(self.origin.received, [
            b"POST /sized HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world",
            b"PUT /chunked HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
            b"5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
            b"GET /bare HTTP/1.1\r\n\r\n",
            b"GET /bare HTTP/1.1\r\n\r\n"])
        self.assertEqual(self.origin.connections, 1)
        self.proxy.wait_for_line(lambda l: l.endswith(" GET http://" + t + "/bare HTTP/1.1 []"))
        described = [l for l in self.proxy.output() if " http://" in l]
        self.assertEqual(len(described), 4, described)

    def test_http_1_0_keeps_its_version_and_its_close_delimited_answer_ends_promptly(self):
        def close_delimited(sock, origin):
            origin.record(read_request(Reader(sock)))
            sock.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"x" * 300000)

        with Origin(close_delimited) as origin, self.client(timeout=5) as c:
            start = time.time()
            c.send(f"GET http://127.0.0.1:{origin.port}/old HTTP/1.0\r\nHost: h\r\n\r\n".encode())
            data = c.rest()
            self.assertLess(time.time() - start, 3)
            self.assertEqual(data, b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"x" * 300000)
            self.assertEqual(origin.received, [b"GET /old HTTP/1.0\r\nHost: h\r\n\r\n"])

    def test_keep_alive_client_sees_the_end_of_a_close_delimited_answer_at_once(self):
        def close_delimited(sock, origin):
            read_request(Reader(sock))
            sock.sendall(b"HTTP/1.1 200 OK\r\n\r\nuntil-close")

        # The time-out is below the proxy's idle time-out (10 s), which must not be what ends it.
        with Origin(close_delimited) as origin, self.client(timeout=5) as c:
            start = time.time()
            c.send(f"GET http://127.0.0.1:{origin.port}/ HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.rest(), b"HTTP/1.1 200 OK\r\n\r\nuntil-close")
            self.assertLess(time.time() - start, 3)


class DescriptionLine(ProxyAndOrigin):
    def test_one_line_per_request_with_agent_or_empty_brackets_or_forwarded_address(self):
        url = f"http://{self.target}/x?y=1"
        with self.client() as c:
            port = c.port
            c.ask(f"GET {url} HTTP/1.1\r\nUser-Agent: agent/1.0 (test)\r\n\r\n".encode())
            c.ask(f"POST {url} HTTP/1.1\r\nContent-Length: 0\r\n\r\n".encode())
            c.ask(f"GET {url} HTTP/1.1\r\nX-Forwarded-For: 10.0.0.7, 10.0.0.8\r\nUser-Agent: a\r\n\r\n".encode())
        self.proxy.wait_for_line(f"10.0.0.7, 10.0.0.8:{port} GET {url} HTTP/1.1 [a]")
        described = [l for l in self.proxy.output() if url in l]
        self.assertEqual(described, [
            f"127.0.0.1:{port} GET {url} HTTP/1.1 [agent/1.0 (test)]",
            f"127.0.0.1:{port} POST {url} HTTP/1.1 []",
            f"10.0.0.7, 10.0.0.8:{port} GET {url} HTTP/1.1 [a]"])


class Upstreams(ProxyAndOrigin):
    def test_same_host_and_port_reuse_one_upstream_connection(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=10)
        try:
            for path in ("/a", "/b", "/c"):
                conn.request("GET", f"http://{self.target}{path}")
                self.assertEqual(conn.getresponse().read(), b"ok")
        finally:
            conn.close()
        self.assertEqual(self.origin.connections, 1)
        self.assertEqual([r.split(b" ")[1] for r in self.origin.received], [b"/a", b"/b", b"/c"])

    def test_another_port_opens_a_new_upstream_and_the_old_one_finishes_its_body(self):
        body = os.urandom(3 << 20)
        seen = {}

        def sink(sock, origin):  # reads the whole body, never answers, waits for the end
            reader = Reader(sock)
            digest = hashlib.sha256()
            pipe_body(reader, reader.until(b"\r\n\r\n"), digest.update)
            seen["digest"] = digest.hexdigest()
            seen["closed"] = sock.recv(1) == b""

        with Origin(sink) as old, self.client() as c:
            c.send(f"POST http://127.0.0.1:{old.port}/up HTTP/1.1\r\nContent-Length: {len(body)}\r\n\r\n".encode()
                      + body + f"GET http://{self.target}/next HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.response()[1], b"ok")
            end = time.time() + 5
            while "closed" not in seen and time.time() < end:
                time.sleep(0.05)
        self.assertEqual(seen.get("digest"), hashlib.sha256(body).hexdigest())
        self.assertTrue(seen.get("closed"), "the old upstream must close once it has sent everything")
        self.assertEqual(self.origin.received, [b"GET /next HTTP/1.1\r\n\r\n"])

    def test_unreachable_origin_gets_502_and_the_connection_ends(self):
        with self.client(timeout=5) as c:
            c.send(f"GET http://127.0.0.1:{free_port()}/ HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.rest(), BAD_GATEWAY)

    def test_idn_host_is_resolved_in_its_ascii_form(self):
        with self.client(timeout=5) as c:
            port = c.port
            c.send("GET http://bücher.invalid/ HTTP/1.1\r\nHost: bücher.invalid\r\n\r\n".encode())
            self.assertEqual(c.rest(), BAD_GATEWAY)
        self.proxy.wait_for_line("getaddrinfo() failed for host xn--bcher-kva.invalid:80!")
        self.assertIn(f"127.0.0.1:{port} GET http://bücher.invalid/ HTTP/1.1 []", self.proxy.output())

    def test_scheme_chooses_the_default_port(self):
        origins = []
        try:
            for port in (80, 443, 21):
                origins.append(Origin(serving(lambda r, port=port: response(str(port).encode())), "127.0.0.2", port))
        except OSError as e:
            for o in origins:
                o.close()
            self.skipTest(f"needs the privileged ports 80, 443 and 21 on 127.0.0.2: {e}")
        try:
            with self.client() as c:
                for url, port in (("http://127.0.0.2/a", b"80"), ("https://127.0.0.2/b", b"443"),
                                  ("ftp://127.0.0.2/c", b"21"), ("//127.0.0.2/d", b"443")):
                    self.assertEqual(c.ask(f"GET {url} HTTP/1.1\r\n\r\n".encode()), port, url)
        finally:
            for o in origins:
                o.close()


class RealClients(ProxyAndOrigin):
    big = os.urandom(3 << 20)
    answer = staticmethod(lambda request: response(RealClients.big if b" /big " in request else b"ok"))

    def test_curl_gets_a_3_mib_answer_intact(self):
        got = curl("-x", f"http://127.0.0.1:{self.proxy.port}", f"http://{self.target}/big")
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(hashlib.sha256(got.stdout).hexdigest(), hashlib.sha256(self.big).hexdigest())
        request = self.origin.received[0]
        self.assertTrue(request.startswith(b"GET /big HTTP/1.1\r\n"), request)
        self.assertNotIn(b"proxy-", request.lower())  # curl sends Proxy-Connection

    def test_urllib_post_reaches_the_origin(self):
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({"http": f"http://127.0.0.1:{self.proxy.port}"}))
        with opener.open(f"http://{self.target}/form", data=b"a=1&b=2", timeout=10) as reply:
            self.assertEqual(reply.read(), b"ok")
        request = self.origin.received[0]
        self.assertTrue(request.startswith(b"POST /form HTTP/1.1\r\n"), request)
        self.assertTrue(request.endswith(b"\r\n\r\na=1&b=2"), request)
        self.assertNotIn(b"\r\nconnection:", request.lower())


if __name__ == "__main__":
    unittest.main()
