"""Requests crafted to confuse the proxy or its log: ambiguous body framing is
refused before anything reaches an origin, and client bytes cannot forge log
lines."""

import unittest

from harness import Client, Origin, Proxy, free_port, serving, stop_cleanly

BAD_REQUEST = (
    b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
    b"Ambiguous message framing"
)


class AmbiguousFraming(unittest.TestCase):
    def start(self, options):
        port = free_port()
        return Proxy(port, *options, port=port)

    def test_requests_with_unclear_body_ends_are_refused_and_end_the_connection(self):
        heads = [
            b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
            b"Content-Length: 5\r\nContent-Length: 7\r\n",
            b"Transfer-Encoding: chunked, gzip\r\n",
        ]
        for extra in heads:
            for args in ((), ("-a", "u:p")):  # refused before the credentials check too
                with self.subTest(extra=extra, args=args):
                    proxy = self.start(args)
                    with Origin(serving()) as origin, Client(proxy.port) as client:
                        client.send(
                            b"POST http://127.0.0.1:%d/ HTTP/1.1\r\nHost: o\r\n%s\r\n"
                            b"0\r\n\r\nGET http://127.0.0.1:%d/smuggled HTTP/1.1\r\nHost: o\r\n\r\n"
                            % (origin.port, extra, origin.port)
                        )
                        self.assertEqual(client.rest(), BAD_REQUEST)
                        self.assertEqual(origin.connections, 0)
                    self.assertFalse(any(" POST " in l or "smuggled" in l for l in proxy.output()))
                    stop_cleanly(self, proxy)


class LogLines(unittest.TestCase):
    def test_control_bytes_from_clients_are_written_as_hex(self):
        proxy = Proxy()
        with Origin(serving()) as origin, Client(proxy.port) as client:
            client.ask(
                b"GET http://127.0.0.1:%d/\x1b[2J HTTP/1.1\r\nHost: o\r\n"
                b"User-Agent: agent\nFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]\r\n\r\n" % origin.port
            )
            line = proxy.wait_for_line(lambda l: "GET http://127.0.0.1" in l)
            self.assertTrue(line.endswith("/\\x1b[2J HTTP/1.1 [agent\\x0aFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]]"), line)
            self.assertFalse(any(l.startswith("FAKE") for l in proxy.output()))
        stop_cleanly(self, proxy)


if __name__ == "__main__":
    unittest.main()
