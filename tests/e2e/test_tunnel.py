"""CONNECT tunnels: "200" only for a tunnel that exists, every byte relayed unchanged both ways (https
through a tunnel: the browser test).

How connections end (tunnels and plain ones): a peer that shuts down its sending side has finished
sending, not left. What it sent is delivered, the other peer is shut down for that direction, and the
other direction flows until it ends."""

import os, socket, threading, time

from harness import MiB, ProxyTest, Reader, brief, echo, get, head, sha256


class Tunnel(ProxyTest):
    def test_200_exactly_then_5_mib_of_raw_bytes_round_trip(self):
        """Bytes sent with the head come first; a request head inside the
        tunnel is just bytes, neither parsed nor described."""
        data, origin = head("GET", "http://127.0.0.1:1/") + os.urandom(5 * MiB), self.origin(echo)
        with self.client() as c:
            c.tunnel(origin.port, f"Host: 127.0.0.1:{origin.port}", then=b"early bytes")
            self.assertEqual(c.exact(11), b"early bytes")
            sender = threading.Thread(target=c.send, args=(data,), daemon=True)
            sender.start()
            back = c.exact(len(data))
            sender.join(10)
        self.assertEqual(brief(back), brief(data))
        line = self.proxy.wait_for_line(c.described("CONNECT", f"127.0.0.1:{origin.port}"))
        self.assertEqual([l for l in self.proxy.output() if " HTTP/1.1 [" in l], [line])


class HalfClose(ProxyTest):
    def test_client_shutdown_passes_the_end_on_and_the_answer_still_flows(self):
        """Plain and tunnelled (3 MiB, more than socket buffers hold): the origin answers, in pieces,
        only once it has seen the end of what the client sent."""
        def answer_after_the_end(sock, origin):
            origin.received.append(data := Reader(sock).rest())
            sock.sendall(b"HTTP/1.1 200 OK\r\n\r\n")
            for _ in range(20):
                sock.sendall(sha256(data).digest() * 1000)

        origin, payload = self.origin(answer_after_the_end), bytes(range(256)) * (12 * 4096)
        for tunnel, forwarded in ((False, head("GET", "/x", f"Host: 127.0.0.1:{origin.port}")), (True, payload)):
            with self.subTest(tunnel=tunnel), self.client() as c:
                if tunnel:
                    c.tunnel(origin.port)
                c.send(payload if tunnel else get(origin.port, "/x"))
                c.sock.shutdown(socket.SHUT_WR)
                self.assertEqual(c.rest(), b"HTTP/1.1 200 OK\r\n\r\n" + sha256(forwarded).digest() * 20000)
            self.assertEqual(origin.received[-1], forwarded)

    def test_tunnel_origin_shutdown_reaches_the_client_at_once_which_may_still_send(self):
        done = threading.Event()

        def origin_side(sock, origin):
            sock.sendall(b"greeting")
            sock.shutdown(socket.SHUT_WR)  # finished talking, still listening
            origin.received.append(Reader(sock).rest())
            done.set()

        origin, late = self.origin(origin_side), b"late words " * 100000
        with self.client() as c:
            start = time.time()
            c.tunnel(origin.port)
            self.assertEqual(c.rest(), b"greeting")  # then the end of the stream
            self.assertLess(time.time() - start, 3)  # not the proxy's 10 s idle time-out
            c.send(late)
            c.sock.shutdown(socket.SHUT_WR)
            self.assertTrue(done.wait(10))
            self.assertEqual(c.rest(), b"")
        self.assertEqual(origin.received, [late])
