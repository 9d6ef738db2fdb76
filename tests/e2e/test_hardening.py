"""Crafted requests: every legal spelling of the framing fields frames the body exactly, heads an origin
could read differently are refused before anything reaches it, and client bytes cannot forge log lines."""

from harness import BAD_REQUEST, MALFORMED, Client, Proxy, ProxyTest, get, head, stop_cleanly

CHUNKED = b"5\r\nhello\r\n0\r\n\r\n"
# (framing header lines, body): each body must end where the proxy and the origin both say it does.
SPELLINGS = [(b"Content-Length:5\r\n", b"hello"), (b"content-length: \t5 \r\n", b"hello"),
             (b"Content-Length: 5, 5\r\nCONTENT-LENGTH: 5\r\n", b"hello"),
             (b"Transfer-Encoding:chunked\r\n", CHUNKED), (b"transfer-encoding: CHUNKED\r\n", CHUNKED),
             (b"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", CHUNKED)]
# (header lines, the answer): the body's end is unclear or the lines could be read differently.
REFUSED = [(lines, BAD_REQUEST) for lines in (
    b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", b"Content-Length: 5\r\nContent-Length: 7\r\n",
    b"Content-Length: 5, 7\r\n", b"Transfer-Encoding: chunked, gzip\r\n", b"Content-Length: -5\r\n",
    b"Content-Length: 5x\r\n", b"Content-Length: 0x5\r\n", b"Content-Length: 5 5\r\n", b"Content-Length:\r\n")] + \
    [(b"Content-Length : 5\r\n", MALFORMED), (b"Transfer-Encoding: gzip\r\n chunked\r\n", MALFORMED)]


class Hardening(ProxyTest):
    def test_every_spelling_frames_the_body_and_the_next_request_follows(self):
        """Pipelined behind each body, the next request reaches the origin and the log as a request
        of its own: a misframed body would show up as a method like "helloGET" or a lost request."""
        origin = self.origin()
        for lines, body in SPELLINGS:
            with self.subTest(lines=lines), self.client() as c:
                c.send(get(origin.port, "/post", "Host: o", lines[:-2], method="POST") + body +
                       get(origin.port, "/next", "Host: o"))
                self.assertEqual((c.response()[1], c.response()[1]), (b"ok", b"ok"))
                self.assertEqual(origin.received[-2:], [head("POST", "/post", "Host: o", lines[:-2]) + body,
                                                        head("GET", "/next", "Host: o")])
                self.proxy.wait_for_line(c.described("GET", f"http://127.0.0.1:{origin.port}/next"))
        self.assertEqual(len(origin.received), 2 * len(SPELLINGS))

    def test_requests_with_unclear_body_ends_are_refused_and_end_the_connection(self):
        """Also before the credentials check; nothing is forwarded or logged, not even the request smuggled behind."""
        origin = self.origin()
        for options in ((), ("-a", "u:p")):
            with Proxy(*options) as proxy:
                for lines, answer in REFUSED:
                    with self.subTest(lines=lines, options=options), Client(proxy.port) as client:
                        client.send(get(origin.port, "/", "Host: o", lines[:-2], method="POST") + b"0\r\n\r\n" +
                                    get(origin.port, "/smuggled", "Host: o"))
                        self.assertEqual(client.rest(), answer)
                stop_cleanly(self, proxy)
            self.assertFalse([l for l in proxy.output() if " POST " in l or "smuggled" in l])
        self.assertEqual(origin.connections, 0)

    def test_control_bytes_from_clients_are_written_as_hex_in_log_lines(self):
        origin = self.origin()
        with self.client() as client:
            client.ask(get(origin.port, "/\x1b[2J", "Host: o", "User-Agent: agent\nFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]"))
        line = self.proxy.wait_for_line(lambda l: "GET http://127.0.0.1" in l)
        self.assertTrue(line.endswith("/\\x1b[2J HTTP/1.1 [agent\\x0aFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]]"), line)
        self.assertFalse([l for l in self.proxy.output() if l.startswith("FAKE")])
