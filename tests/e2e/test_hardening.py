"""Crafted requests: every legal spelling of the framing fields frames the body exactly, heads an origin
could read differently are refused before anything reaches it, and client bytes cannot forge log lines."""

from harness import wait_until, BAD_REQUEST, BAD_TARGET, LOOP_DETECTED, MALFORMED, Client, Proxy, ProxyTest, get, head, \
    stop_cleanly

CHUNKED = b"5\r\nhello\r\n0\r\n\r\n"
# (framing header lines, body): each body must end where the proxy and the origin both say it does.
SPELLINGS = [(b"Content-Length:5\r\n", b"hello"), (b"content-length: \t5 \r\n", b"hello"),
             (b"Content-Length: 5, 5\r\nCONTENT-LENGTH: 5\r\n", b"hello"),
             (b"Transfer-Encoding:chunked\r\n", CHUNKED), (b"transfer-encoding: CHUNKED\r\n", CHUNKED),
             (b"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", CHUNKED)]
# (header lines, the answer): the body's end is unclear or the lines could be read differently, in
# particular a field name that is not a token, which hides the field from the framing rules.
REFUSED = [(lines, BAD_REQUEST) for lines in (
    b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", b"Content-Length: 5\r\nContent-Length: 7\r\n",
    b"Content-Length: 5, 7\r\n", b"Transfer-Encoding: chunked, gzip\r\n", b"Content-Length: -5\r\n",
    b"Content-Length: 5x\r\n", b"Content-Length: 0x5\r\n", b"Content-Length: 5 5\r\n", b"Content-Length:\r\n")] + \
    [(lines, MALFORMED) for lines in (
        b"Content-Length : 5\r\n", b"Transfer-Encoding: gzip\r\n chunked\r\n", b"Transfer-Encoding\0: chunked\r\n",
        b"Transfer-Encoding chunked\r\n", b"X@Y: 1\r\n", b"Host: a\r\nHost: b\r\n")]
# Request lines that name no origin a proxy may forward to for sure, or are off the grammar.
REFUSED_TARGETS = [(head("POST", target), BAD_TARGET) for target in (
    "/index.html", "//127.0.0.1/", "http://127.0.0.1:84638/", "http://127.0.0.1:0/", "http://u@127.0.0.1/",
    "http://%31.0.0.1/", "127.0.0.1:80")] + [(head("CONNECT", "127.0.0.1"), BAD_TARGET),
                                              (b"POST http://127.0.0.1/ HTTP/2.0\r\n\r\n", MALFORMED)]


class Hardening(ProxyTest):
    def test_every_spelling_frames_the_body_and_the_next_request_follows(self):
        """Pipelined behind each body, the next request reaches the origin and the log as a request
        of its own: a misframed body would show up as a method like "helloGET" or a lost request."""
        origin = self.origin()
        host = f"Host: 127.0.0.1:{origin.port}"
        for lines, body in SPELLINGS:
            with self.subTest(lines=lines), self.client() as c:
                c.send(get(origin.port, "/post", host, lines[:-2], method="POST") + body +
                       get(origin.port, "/next", host))
                self.assertEqual((c.response()[1], c.response()[1]), (b"ok", b"ok"))
                self.assertEqual(origin.received[-2:], [head("POST", "/post", host, lines[:-2]) + body,
                                                        head("GET", "/next", host)])
                self.proxy.wait_for_line(c.described("GET", f"http://127.0.0.1:{origin.port}/next"))
        self.assertEqual(len(origin.received), 2 * len(SPELLINGS))

    def test_requests_with_unclear_body_ends_are_refused_and_end_the_connection(self):
        """Also before the credentials check; nothing is forwarded or logged, not even the request smuggled behind."""
        origin = self.origin()
        for options in ((), ("-a", "u:p")):
            with Proxy(*options) as proxy:
                for request, answer in [(get(origin.port, "/", lines[:-2], method="POST"), answer)
                                        for lines, answer in REFUSED] + REFUSED_TARGETS:
                    with self.subTest(request=request, options=options), Client(proxy.port) as client:
                        client.send(request + b"0\r\n\r\n" + get(origin.port, "/smuggled"))
                        self.assertEqual(client.rest(), answer)
                stop_cleanly(self, proxy)
            self.assertFalse([l for l in proxy.output() if " POST " in l or "smuggled" in l])
        self.assertEqual(origin.connections, 0)

    def test_control_bytes_from_clients_are_written_as_hex_in_log_lines(self):
        """C0 controls, and C1 controls and line separators as bytes and as UTF-8; other UTF-8 stays."""
        origin = self.origin()
        with self.client() as client:
            client.ask(get(origin.port, b"/\xc2\x9b2J\xe2\x80\xa8\xc3\xa9", b"User-Agent: agent\nFAKE 1.2.3.4:1 GET / HTTP/1.1 [x]\x9b"))
        line = self.proxy.wait_for_line(lambda l: "GET http://127.0.0.1" in l)
        self.assertTrue(line.endswith("/\\xc2\\x9b2J\\xe2\\x80\\xa8\u00e9 HTTP/1.1 [agent\\x0aFAKE 1.2.3.4:1 GET / HTTP/1.1 "
                                      "[x]\\x9b]"), line)
        self.assertFalse([l for l in self.proxy.output() if l.startswith("FAKE")])

    def test_a_chunk_line_that_cannot_be_read_gets_400_and_nothing_after_it_is_relayed(self):
        """A size over 16 digits or an extension off the grammar: the origin gets at most what came before the
        bad byte, then the end of the stream; the request smuggled behind never reaches it."""
        def collect(sock, origin):
            origin.received.append(sock.recv(1 << 16) + b"".join(iter(lambda: sock.recv(1 << 16), b"")))

        origin = self.origin(collect)
        for chunk in (b"00000000000000005\r\nhello\r\n0\r\n\r\n", b"5;a b\r\nhello\r\n0\r\n\r\n"):
            with self.subTest(chunk=chunk), self.client() as c:
                request = get(origin.port, "/", "Transfer-Encoding: chunked", method="POST")
                c.send(request + chunk + get(origin.port, "/smuggled", "Proxy-Authorization: Basic eDp5"))
                self.assertEqual(c.rest(), MALFORMED)
            self.assertTrue(wait_until(lambda: len(origin.received) == origin.connections, 5))
            forwarded = b"".join(origin.received)
            self.assertTrue(b"POST / HTTP/1.1\r\n".startswith(forwarded[:17]), forwarded)
            self.assertNotIn(b"smuggled", forwarded)
            self.assertNotIn(b"hello", forwarded)

    def test_requests_that_would_loop_through_the_proxy_are_refused_at_once(self):
        """The proxy's own address and port, by address (nested a thousand times), by a name that resolves to
        it, or any local address when it listens on all adapters: 508 before any connect, descriptors and
        memory flat. An origin-form path naming it is no target at all."""
        with Proxy(all_adapters=True) as proxy:
            own = f"127.0.0.1:{proxy.port}"
            with Client(proxy.port) as client:  # the resolver's own descriptors open with its first lookup
                client.send(head("GET", f"http://localhost:{proxy.port}/"))
                self.assertEqual(client.rest(), LOOP_DETECTED)
            fds, rss = proxy.fd_count(), proxy.rss_kib()
            for request, answer in ((head("GET", f"http://{own}/" * 1000 + "end"), LOOP_DETECTED),
                                    (head("CONNECT", f"127.0.0.5:{proxy.port}"), LOOP_DETECTED),
                                    (head("GET", f"http://0:{proxy.port}/"), LOOP_DETECTED),
                                    (head("GET", f"/http://{own}/end"), BAD_TARGET)):
                with self.subTest(request=request[:60]), Client(proxy.port) as client:
                    client.send(request)
                    self.assertEqual(client.rest(), answer)
            # At most the baseline, which may still count that first client's connection.
            self.assertTrue(wait_until(lambda: proxy.fd_count() <= fds, 5), proxy.fd_count() - fds)
            self.assertLess(proxy.rss_kib(), rss + 8 * 1024)
            stop_cleanly(self, proxy)
