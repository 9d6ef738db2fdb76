"""Plain HTTP forwarding: the exact bytes an origin receives, the description line, upstream reuse, answers
that run to the close (an unreachable origin's 502: test_addresses, test_resolver)."""

import time

from harness import ProxyTest, Reader, get, head


class Forwarding(ProxyTest):
    def test_pipelined_requests_reach_the_origin_rewritten_byte_for_byte(self):
        """Origin form, hop-by-hop headers dropped in any letter case (also those the Connection options name),
        a Host naming the target's origin first where the client sent none, bodies (sized, chunked with trailer)
        unchanged, one upstream, one line each."""
        origin = self.origin()
        t = f"127.0.0.1:{origin.port}"
        # Each request with its forwarded form: the origin form of the target, hop-by-hop lines dropped.
        requests = [(f"GET http://{t}/p/a?q=1 HTTP/1.1\r\nHost: {t}\r\nUser-Agent: raw/1\r\nProxy-Authorization: "
                     "Basic dTpw\r\nproxy-authorization: Basic dTpw\r\nProxy-Connection: keep-alive\r\n"
                     "PROXY-CONNECTION: keep-alive\r\nConnection: keep-alive\r\nconnection: x-hop\r\nConnection-Extra: y"
                     "\r\nX-Custom: MiXeD Value\r\nX-HOP: 1\r\nKeep-Alive: 5\r\naccept: */*\r\n\r\n",
                     f"GET /p/a?q=1 HTTP/1.1\r\nHost: {t}\r\nUser-Agent: raw/1\r\nX-Custom: MiXeD Value\r\n"
                     "accept: */*\r\n\r\n")]
        origin_form = lambda r: r.replace(f"http://{t}", "", 1).replace("\r\n", f"\r\nHost: {t}\r\n", 1)
        requests += [(r, origin_form(r)) for r in (
            f"POST http://{t}/sized HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world",
            f"PUT http://{t}/chunked HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
            f"GET http://{t}/fwd HTTP/1.1\r\nX-Forwarded-For: 10.0.0.7, 10.0.0.8\r\nUser-Agent: a\r\n\r\n")]
        with self.client() as c:
            c.send("".join(sent for sent, _ in requests).encode())  # one write: the proxy sees them together
            for _ in requests:
                self.assertEqual(c.response()[1], b"ok")
        self.assertEqual(origin.received, [forwarded.encode() for _, forwarded in requests])
        self.assertEqual(origin.connections, 1)
        self.proxy.wait_for_line(lambda l: "/fwd " in l)
        self.assertEqual([l for l in self.proxy.output() if " http://" in l], [
            c.described("GET", f"http://{t}/p/a?q=1", "raw/1"), c.described("POST", f"http://{t}/sized"),
            c.described("PUT", f"http://{t}/chunked"), f"10.0.0.7, 10.0.0.8:{c.port} GET http://{t}/fwd HTTP/1.1 [a]"])

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
