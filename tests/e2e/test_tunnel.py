"""CONNECT tunnels: the "200" only for a tunnel that exists, every byte
relayed unchanged in both directions, https through the tunnel, and the
502 answer when the origin cannot be reached."""

import hashlib
import http.client
import os
import shutil
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from harness import Client, Origin, Proxy, curl, free_port, response, serving, stop_cleanly

TUNNEL_OPEN = b"HTTP/1.1 200 OK\r\n\r\n"
BAD_GATEWAY = b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nUnable to connect"


def echo(sock, origin):
    while data := sock.recv(1 << 20):
        sock.sendall(data)


def connect_line(port):
    return f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()


class Tunnel(unittest.TestCase):
    def setUp(self):
        self.proxy = Proxy()
        self.origin = Origin(echo)

    def tearDown(self):
        self.origin.close()
        stop_cleanly(self, self.proxy)

    def test_200_exactly_then_raw_bytes_including_those_sent_with_the_head(self):
        with Client(self.proxy.port) as c:
            c.send(connect_line(self.origin.port) + b"early bytes")
            self.assertEqual(c.exact(len(TUNNEL_OPEN) + 11), TUNNEL_OPEN + b"early bytes")
            # A request head inside the tunnel is just bytes: echoed, not parsed.
            inner = b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n"
            c.send(inner)
            self.assertEqual(c.exact(len(inner)), inner)
            self.proxy.wait_for_line(f"127.0.0.1:{c.port} CONNECT 127.0.0.1:{self.origin.port} HTTP/1.1 []")
        self.assertEqual([l for l in self.proxy.output() if " HTTP/1.1 [" in l], [
            f"127.0.0.1:{c.port} CONNECT 127.0.0.1:{self.origin.port} HTTP/1.1 []"])

    def test_5_mib_of_random_bytes_round_trip(self):
        data = os.urandom(5 << 20)
        with Client(self.proxy.port) as c:
            c.send(connect_line(self.origin.port))
            self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
            sender = threading.Thread(target=c.send, args=(data,), daemon=True)
            sender.start()
            back = c.exact(len(data))
            sender.join(10)
        self.assertEqual(hashlib.sha256(back).hexdigest(), hashlib.sha256(data).hexdigest())

    def test_origin_closing_the_tunnel_ends_the_client_connection_promptly(self):
        def goodbye(sock, origin):
            sock.sendall(b"bye")

        with Origin(goodbye) as origin, Client(self.proxy.port, timeout=5) as c:
            start = time.time()
            c.send(connect_line(origin.port))
            self.assertEqual(c.rest(), TUNNEL_OPEN + b"bye")
            self.assertLess(time.time() - start, 3)  # not the proxy's 10 s idle time-out

    def test_client_closing_first_still_delivers_everything_it_sent(self):
        data = os.urandom(3 << 20)
        seen = {}

        def sink(sock, origin):
            digest = hashlib.sha256()
            while chunk := sock.recv(1 << 20):
                digest.update(chunk)
            seen["digest"] = digest.hexdigest()  # set only once the proxy has closed

        with Origin(sink) as origin:
            with Client(self.proxy.port) as c:
                c.send(connect_line(origin.port))
                self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
                c.send(data)
            end = time.time() + 5
            while "digest" not in seen and time.time() < end:
                time.sleep(0.05)
        self.assertEqual(seen.get("digest"), hashlib.sha256(data).hexdigest())


class Unreachable(unittest.TestCase):
    def setUp(self):
        self.proxy = Proxy()

    def tearDown(self):
        stop_cleanly(self, self.proxy)

    def test_connect_to_a_refused_port_gets_502_not_200_and_the_connection_ends(self):
        port = free_port()
        with Client(self.proxy.port, timeout=5) as c:
            start = time.time()
            c.send(connect_line(port))
            self.assertEqual(c.rest(), BAD_GATEWAY)
            self.assertLess(time.time() - start, 3)
        self.proxy.wait_for_line(f"127.0.0.1:{c.port} CONNECT 127.0.0.1:{port} HTTP/1.1 []")

    def test_plain_request_to_a_refused_port_gets_502_and_the_connection_ends(self):
        with Client(self.proxy.port, timeout=5) as c:
            start = time.time()
            c.send(f"GET http://127.0.0.1:{free_port()}/x HTTP/1.1\r\n\r\nGET /pipelined HTTP/1.1\r\n\r\n".encode())
            self.assertEqual(c.rest(), BAD_GATEWAY)
            self.assertLess(time.time() - start, 3)


class Https(unittest.TestCase):
    """A TLS origin with a certificate made for this run, reached through
    CONNECT by curl and by Python's http.client."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cert, key = os.path.join(cls.dir, "cert.pem"), os.path.join(cls.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-days", "1", "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        cls.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cls.context.load_cert_chain(cert, key)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def setUp(self):
        serve = serving(lambda request: response(b"secret " + request.split(b" ")[1]))

        def tls(sock, origin):
            with self.context.wrap_socket(sock, server_side=True) as wrapped:
                serve(wrapped, origin)

        self.origin = Origin(tls)
        self.proxy = Proxy()

    def tearDown(self):
        self.origin.close()
        stop_cleanly(self, self.proxy)

    def test_curl_over_connect(self):
        got = curl("-k", "-p", "-x", f"http://127.0.0.1:{self.proxy.port}", f"https://localhost:{self.origin.port}/c")
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, b"secret /c")
        line = self.proxy.wait_for_line(lambda l: " CONNECT " in l)
        self.assertRegex(line, rf"^127\.0\.0\.1:\d+ CONNECT localhost:{self.origin.port} HTTP/1\.1 \[curl/.+\]$")

    def test_http_client_over_connect(self):
        conn = http.client.HTTPSConnection("127.0.0.1", self.proxy.port, timeout=10,
                                           context=ssl._create_unverified_context())
        conn.set_tunnel("localhost", self.origin.port)
        try:
            for path in ("/one", "/two"):
                conn.request("GET", path)
                self.assertEqual(conn.getresponse().read(), b"secret " + path.encode())
        finally:
            conn.close()
        self.assertEqual(self.origin.connections, 1)


if __name__ == "__main__":
    unittest.main()
