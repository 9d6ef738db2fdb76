"""Crafted requests: ambiguous body framing is refused before anything reaches an origin, and client
bytes cannot forge log lines."""

import unittest

from harness import BAD_REQUEST, Client, Origin, Proxy, ProxyTest, serving, stop_cleanly


class Hardening(ProxyTest):
    def test_requests_with_unclear_body_ends_are_refused_and_end_the_connection(self):
        """Also before the credentials check; nothing is forwarded or logged,
        not even the request smuggled behind."""
        for extra in (b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
                      b"Content-Length: 5\r\nContent-Length: 7\r\n", b"Transfer-Encoding: chunked, gzip\r\n"):
            for options in ((), ("-a", "u:p")):
                with self.subTest(extra=extra, options=options), Origin(serving()) as origin:
                    proxy = Proxy(*options)
                    with Client(proxy.port) as client:
                        client.send(b"POST http://127.0.0.1:%d/ HTTP/1.1\r\nHost: o\r\n%s\r\n0\r\n\r\n"
                                    b"GET http://127.0.0.1:%d/smuggled HTTP/1.1\r\nHost: o\r\n\r\n"
                                    % (origin.port, extra, origin.port))
                        self.assertEqual(client.rest(), BAD_REQUEST)
                    self.assertEqual(origin.connections, 0)
                    stop_cleanly(self, proxy)
                    self.assertFalse([l for l in proxy.output() if " POST " in l or "smuggled" in l])

    def test_control_bytes_from_clients_are_written_as_hex_in_log_lines(self):
        origin = self.origin()
        with self.client() as client:
            client.ask(b"GET http://127.0.0.1:%d/\x1b[2J HTTP/1.1\r\nHost: o\r\n"
                       b"User-Agent: agent\nFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]\r\n\r\n" % origin.port)
        line = self.proxy.wait_for_line(lambda l: "GET http://127.0.0.1" in l)
        self.assertTrue(line.endswith("/\\x1b[2J HTTP/1.1 [agent\\x0aFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]]"), line)
        self.assertFalse([l for l in self.proxy.output() if l.startswith("FAKE")])


if __name__ == "__main__":
    unittest.main()
