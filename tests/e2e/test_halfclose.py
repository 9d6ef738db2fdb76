"""Half-close: a peer that shuts down its sending side has finished sending, not left. What it sent is
delivered, the other peer is shut down for that direction, and the other direction flows until it ends."""

import hashlib, socket, threading, time, unittest

from harness import TUNNEL_OPEN, ProxyTest, Reader


class HalfClose(ProxyTest):
    def test_client_shutdown_passes_the_end_on_and_the_answer_still_flows(self):
        """Plain and tunnelled (3 MiB, more than socket buffers hold): the origin answers, in pieces,
        only once it has seen the end of what the client sent."""
        def answer_after_the_end(sock, origin):
            data = Reader(sock).rest()
            origin.received.append(data)
            sock.sendall(b"HTTP/1.1 200 OK\r\n\r\n")
            for _ in range(20):
                sock.sendall(hashlib.sha256(data).digest() * 1000)

        origin, payload = self.origin(answer_after_the_end), bytes(range(256)) * (12 * 4096)
        for head, forwarded in ((b"GET http://127.0.0.1:%d/x HTTP/1.1\r\n\r\n", b"GET /x HTTP/1.1\r\n\r\n"),
                                (b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n", payload)):
            with self.client() as c:
                c.send(head % origin.port)
                if head.startswith(b"CONNECT"):
                    self.assertEqual(c.until(b"\r\n\r\n"), TUNNEL_OPEN)
                    c.send(payload)
                c.sock.shutdown(socket.SHUT_WR)
                answer = c.rest()
            self.assertEqual(origin.received[-1], forwarded)
            self.assertEqual(answer, b"HTTP/1.1 200 OK\r\n\r\n" + hashlib.sha256(forwarded).digest() * 20000)

    def test_tunnel_origin_shutdown_reaches_the_client_at_once_which_may_still_send(self):
        done = threading.Event()

        def origin_side(sock, origin):
            sock.sendall(b"greeting")
            sock.shutdown(socket.SHUT_WR)  # finished talking, still listening
            origin.received.append(Reader(sock).rest())
            done.set()

        origin = self.origin(origin_side)
        with self.client() as c:
            start = time.time()
            c.send(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % origin.port)
            self.assertEqual(c.until(b"\r\n\r\n"), TUNNEL_OPEN)
            self.assertEqual(c.rest(), b"greeting")  # then the end of the stream
            self.assertLess(time.time() - start, 3)  # not the proxy's 10 s idle time-out
            late = b"late words " * 100000
            c.send(late)
            c.sock.shutdown(socket.SHUT_WR)
            self.assertTrue(done.wait(10))
            self.assertEqual(c.rest(), b"")
        self.assertEqual(origin.received, [late])


if __name__ == "__main__":
    unittest.main()
