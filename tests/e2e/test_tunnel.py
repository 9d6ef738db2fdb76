"""CONNECT tunnels: "200" only for a tunnel that exists, every byte relayed unchanged both ways, https
through a tunnel, 502 when the origin cannot be reached. (How tunnels end: test_halfclose.)"""

import hashlib, os, threading, time, unittest

from harness import BAD_GATEWAY, MiB, TUNNEL_OPEN, ProxyTest, curl, echo, free_port, response, serving, tls_context


def connect_line(port):
    return b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port)


class Tunnel(ProxyTest):
    def test_200_exactly_then_5_mib_of_raw_bytes_round_trip(self):
        """Bytes sent with the head come first; a request head inside the
        tunnel is just bytes, neither parsed nor described."""
        data, origin = b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n" + os.urandom(5 * MiB), self.origin(echo)
        with self.client() as c:
            c.send(connect_line(origin.port) + b"early bytes")
            self.assertEqual(c.exact(len(TUNNEL_OPEN) + 11), TUNNEL_OPEN + b"early bytes")
            sender = threading.Thread(target=c.send, args=(data,), daemon=True)
            sender.start()
            back = c.exact(len(data))
            sender.join(10)
        self.assertEqual(hashlib.sha256(back).digest(), hashlib.sha256(data).digest())
        line = f"127.0.0.1:{c.port} CONNECT 127.0.0.1:{origin.port} HTTP/1.1 []"
        self.proxy.wait_for_line(line)
        self.assertEqual([l for l in self.proxy.output() if " HTTP/1.1 [" in l], [line])

    def test_connect_to_a_refused_port_gets_502_not_200_and_the_connection_ends(self):
        port = free_port()
        with self.client(timeout=5) as c:
            start = time.time()
            c.send(connect_line(port))
            self.assertEqual(c.rest(), BAD_GATEWAY)
            self.assertLess(time.time() - start, 3)
        self.proxy.wait_for_line(f"127.0.0.1:{c.port} CONNECT 127.0.0.1:{port} HTTP/1.1 []")

    def test_curl_reaches_a_tls_origin_over_connect(self):
        serve, context = serving(lambda request: response(b"secret " + request.split(b" ")[1])), tls_context()

        def tls(sock, origin):
            with context.wrap_socket(sock, server_side=True) as wrapped:
                serve(wrapped, origin)

        origin = self.origin(tls)
        got = curl("-k", "-p", "-x", f"http://127.0.0.1:{self.proxy.port}", f"https://localhost:{origin.port}/c")
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, b"secret /c")
        line = self.proxy.wait_for_line(lambda l: " CONNECT " in l)
        self.assertRegex(line, rf"^127\.0\.0\.1:\d+ CONNECT localhost:{origin.port} HTTP/1\.1 \[curl/.+\]$")


if __name__ == "__main__":
    unittest.main()
