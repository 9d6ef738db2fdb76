"""Plain HTTP forwarding as exchanges: the exact bytes an origin receives and the description line; every request
gets its answer, in the order of the requests, whoever makes it; the proxy knows where each answer ends (no body,
sized, chunked, to the close, Expect: 100-continue); origin connections are shared across clients through the
pool, never after any doubt about where an answer ended, and a request that meets a pooled connection just as its
origin closes it is sent once more if that is safe. (An unreachable origin's 502: test_ipv6, test_resolver; how
long an idle connection stays in the pool: tests/proxy/time_limits_test.cpp.)"""

import base64, socket, time

from harness import (AUTH_REQUIRED, NOT_FOUND, ProxyTest, Reader, curl, get, head, origin_failed, pipe_body, response,
                     serving, temp_file)

CREDENTIALS = "u:p"
AUTH = "Proxy-Authorization: Basic " + base64.b64encode(CREDENTIALS.encode()).decode()


def named(name, delay=0.0):  # an origin handler answering every request with its name and target, after delay
    def answer(request):
        time.sleep(delay)
        return response(name + b" " + request.split(b" ")[1])
    return serving(answer)


class Ordering(ProxyTest):
    options = ("-a", CREDENTIALS, "-b", temp_file("blocked.test\n"))

    def test_pipelined_answers_come_in_request_order_and_none_is_lost(self):
        """In one write each: an allowed request then a blocked one (the 404 after the 200), an authorised one
        then one without credentials (the 407 after the 200), a refused one (a blocked host, without credentials:
        they come first) then an allowed one, and requests to three origins, the first of them slow (three
        answers, in order, none lost)."""
        slow, a, b = self.origin(named(b"slow", 0.3)), self.origin(named(b"a")), self.origin(named(b"b"))
        blocked = head("GET", "http://blocked.test/x", AUTH)
        cases = [([get(slow.port, "/first", AUTH), blocked], [b"slow /first", NOT_FOUND]),
                 ([get(slow.port, "/1", AUTH), get(a.port, "/2")], [b"slow /1", AUTH_REQUIRED]),
                 ([head("GET", "http://blocked.test/x"), get(a.port, "/3", AUTH)], [AUTH_REQUIRED, b"a /3"]),
                 ([get(slow.port, "/4", AUTH), get(a.port, "/5", AUTH), get(b.port, "/6", AUTH)],
                  [b"slow /4", b"a /5", b"b /6"])]
        for requests, answers in cases:
            with self.subTest(answers=answers), self.client() as c:
                c.send(b"".join(requests))
                for want in answers:
                    if want in (NOT_FOUND, AUTH_REQUIRED):
                        self.assertEqual(c.exact(len(want)), want)
                    else:
                        self.assertEqual(c.response()[1], want)


class Exchanges(ProxyTest):
    def test_pipelined_requests_reach_the_origin_rewritten_byte_for_byte(self):
        """Origin form, hop-by-hop headers dropped (also those the Connection options name; every kind of them:
        tests/proxy), a Host naming the target's origin first where the client sent none, bodies (sized, chunked
        with trailer) unchanged, one upstream, one line each."""
        origin = self.origin()
        t = f"127.0.0.1:{origin.port}"
        # Each request with its forwarded form: the origin form of the target, hop-by-hop lines dropped.
        requests = [(f"GET http://{t}/p/a?q=1 HTTP/1.1\r\nHost: {t}\r\nUser-Agent: raw/1\r\nproxy-authorization: "
                     "Basic dTpw\r\nProxy-Connection: keep-alive\r\nconnection: keep-alive, x-hop\r\nX-Custom: MiXeD "
                     "Value\r\nX-HOP: 1\r\nKeep-Alive: 5\r\naccept: */*\r\n\r\n",
                     f"GET /p/a?q=1 HTTP/1.1\r\nHost: {t}\r\nUser-Agent: raw/1\r\nX-Custom: MiXeD Value\r\n"
                     "accept: */*\r\n\r\n")]
        origin_form = lambda r: r.replace(f"http://{t}", "", 1).replace("\r\n", f"\r\nHost: {t}\r\n", 1)
        requests += [(r, origin_form(r)) for r in (
            f"POST http://{t}/sized HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world",
            f"PUT http://{t}/chunked HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n")]
        with self.client() as c:
            c.send("".join(sent for sent, _ in requests).encode())  # one write: the proxy sees them together
            for _ in requests:
                self.assertEqual(c.response()[1], b"ok")
        self.assertEqual(origin.received, [forwarded.encode() for _, forwarded in requests])
        self.assertEqual(origin.connections, 1)
        self.proxy.wait_for_line(lambda l: "/chunked " in l)
        self.assertEqual([l for l in self.proxy.output() if " http://" in l], [
            c.described("GET", f"http://{t}/p/a?q=1", "raw/1"), c.described("POST", f"http://{t}/sized"),
            c.described("PUT", f"http://{t}/chunked")])

    def test_close_delimited_answer_ends_the_client_connection_promptly(self):
        """HTTP/1.0 or keep-alive 1.1, well before the 10 s idle time-out; the request keeps its version."""
        def close_delimited(sock, origin):
            request = Reader(sock).until(b"\r\n\r\n")
            origin.received.append(request)
            sock.sendall(request.split()[2] + b" 200 OK\r\n\r\n" + b"x" * 300000)  # in the request's version

        origin = self.origin(close_delimited)
        for version in (b"HTTP/1.0", b"HTTP/1.1"):
            with self.client(timeout=5) as c:
                start = time.time()
                c.send(b"GET http://127.0.0.1:%d/old %s\r\nHost: h\r\n\r\n" % (origin.port, version))
                self.assertEqual(c.rest(), version + b" 200 OK\r\n\r\n" + b"x" * 300000)
                self.assertLess(time.time() - start, 3)
            # The client's Host names another origin than the target: the target's goes in its place; an
            # HTTP/1.0 request asks the origin to keep the proxy's connection for the pool.
            keep = b"Connection: keep-alive\r\n" if version == b"HTTP/1.0" else b""
            self.assertEqual(origin.received[-1],
                             b"GET /old %s\r\nHost: 127.0.0.1:%d\r\n%s\r\n" % (version, origin.port, keep))

    def test_answers_without_body_sized_and_chunked_keep_the_client_connection_in_step(self):
        """HEAD (a length but no body), 204, 304 and a chunked answer with a trailer: each is followed by another
        request on the same client connection, whose answer must come whole and next. One origin connection
        carries them all."""
        answers = {b"/head": b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n",
                   b"/204": b"HTTP/1.1 204 No Content\r\n\r\n",
                   b"/304": b"HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n",
                   b"/chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nT: 1\r\n\r\n"}
        origin = self.origin(serving(lambda r: answers.get(r.split(b" ")[1], response(b"next"))))
        with self.client() as c:
            for path in answers:
                c.send(get(origin.port, path, method="HEAD" if path == b"/head" else "GET") + get(origin.port, "/next"))
                self.assertEqual(c.exact(len(answers[path])), answers[path], path)
                self.assertEqual(c.response()[1], b"next", path)
        self.assertEqual(origin.connections, 1)

    def test_bytes_after_a_complete_answer_reach_nobody_and_the_connection_is_not_shared(self):
        def chatty(sock, origin):  # a whole answer and more bytes behind it
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(response(b"ok") + b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nSTOLEN")
            time.sleep(1)

        origin = self.origin(chatty)
        for _ in range(2):
            with self.client() as c:
                self.assertEqual(c.ask(get(origin.port)), b"ok")
                c.sock.settimeout(0.3)
                self.assertRaises(socket.timeout, c.sock.recv, 1)
        self.assertEqual(origin.connections, 2)

    def test_bytes_after_a_request_that_ends_the_connection_reach_no_origin(self):
        """HTTP/1.0 without keep-alive, or Connection: close: one answer, then the end of the stream; what the
        client sent behind the request is no request, and nothing vouches for it."""
        origin = self.origin()
        for first in (b"GET http://127.0.0.1:%d/1 HTTP/1.0\r\n\r\n" % origin.port,
                      get(origin.port, "/1", "Connection: close")):
            with self.client() as c:
                c.send(first + get(origin.port, "/smuggled"))
                self.assertEqual(c.response()[1], b"ok")
                self.assertEqual(c.rest(), b"")
        self.assertEqual([r.split(b" ")[1] for r in origin.received], [b"/1", b"/1"])

    def test_two_clients_take_turns_on_one_origin_connection(self):
        origin = self.origin()
        with self.client() as first, self.client() as second:
            for c in (first, second, first, second):
                self.assertEqual(c.ask(get(origin.port, "/turn")), b"ok")
        self.assertEqual(origin.connections, 1)
        self.assertEqual(len(origin.received), 4)

    def test_a_request_reaches_its_origin_twice_only_when_idempotent_and_unanswered(self):
        """On a pooled connection, the origin reads a request and closes without a word, as origins do with idle
        connections: a GET or PUT goes out once more on a new connection; POST, PATCH and LOCK (without a body,
        with an empty one) do not - the origin may have acted on them - and their client gets a 502 that says
        what happened. An answer head the proxy cannot read (a length past 64 bits) means the origin has seen the
        request: no second arrival, GET included."""
        def answers_once(sock, origin):  # answers the first request of each connection, then reacts and goes
            reader = Reader(sock)
            request = reader.until(b"\r\n\r\n")
            origin.received.append(request.split(b" ")[1])
            pipe_body(reader, request, lambda piece: None)
            sock.sendall(response(b"first"))
            request = reader.until(b"\r\n\r\n")
            origin.received.append(request.split(b" ")[1])
            if b"/unreadable" in request:
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 36893488147419103232\r\n\r\n")

        origin = self.origin(answers_once)
        closed = origin_failed(b"closed the connection without an answer")
        cases = [("GET", "/get", b"first"), ("PUT", "/put", b"first"), ("POST", "/post", closed),
                 ("POST", "/post-empty", closed), ("PATCH", "/patch", closed), ("LOCK", "/lock", closed),
                 ("GET", "/unreadable", origin_failed(b"sent an answer that cannot be read"))]
        for method, path, expected in cases:
            with self.subTest(method=method, path=path), self.client() as c:
                self.assertEqual(c.ask(get(origin.port, "/warm")), b"first")  # its connection goes to the pool
                lines = ["Content-Length: 0"] if path.endswith("-empty") else []
                c.send(get(origin.port, path, *lines, method=method))
                self.assertEqual(c.response()[1] if expected == b"first" else c.rest(), expected)
                arrivals = 2 if expected == b"first" else 1  # the second on a new connection
                self.assertEqual(origin.received.count(path.encode()), arrivals, "arrivals at the origin")
                if expected != b"first":
                    self.proxy.wait_for_line(f"Origin 127.0.0.1:{origin.port} {expected.split(b'Origin ')[1].decode()}.")

    def test_curl_with_expect_100_continue_gets_the_early_417_and_the_100_then_200(self):
        """curl asks for a 100 before a body over a megabyte and sends the body only after it; on an early final
        417 it sends the request again without the expectation, and the proxy must not take that request for the
        body it expected: it cannot tell the two apart by a length, so it closes after the 417."""
        def origin_side(sock, origin):
            reader = Reader(sock)
            while True:
                request = reader.until(b"\r\n\r\n")
                origin.received.append(request)
                if b"expect: 100-continue" in request.lower() and b"/refuse" in request:
                    sock.sendall(b"HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\n\r\n")
                    continue
                if b"expect: 100-continue" in request.lower():
                    sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                body = bytearray()
                pipe_body(reader, request, body.extend)
                sock.sendall(response(b"got %d" % len(body)))

        origin = self.origin(origin_side)
        upload = temp_file(b"x" * (2 << 20))
        for path in ("/refuse", "/continue"):
            with self.subTest(path=path):
                got = curl("-x", f"http://127.0.0.1:{self.proxy.port}", "-T", upload,
                           f"http://127.0.0.1:{origin.port}{path}")
                self.assertEqual((got.returncode, got.stdout), (0, b"got %d" % (2 << 20)), got.stderr)
        self.assertEqual([r.lower().count(b"expect: 100-continue") for r in origin.received], [1, 0, 1])
