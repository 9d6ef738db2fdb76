"""Half-close: a peer that shuts down its sending side has finished sending,
not left. What it sent is delivered, the other peer's socket is shut down for
that direction, and the other direction keeps flowing until it ends too."""

import hashlib
import socket
import threading
import unittest

from harness import Origin, Proxy, Reader, connect, recv_all, stop_cleanly


def read_to_end_then_answer(sock, origin):
    """Reads everything until the client's side is shut down, then answers
    with the SHA-256 of what it read and closes."""
    data = recv_all(sock)
    origin.record(data)
    digest = hashlib.sha256(data).hexdigest().encode()
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(digest), digest))


class HalfClose(unittest.TestCase):
    def setUp(self):
        self.proxy = Proxy()

    def tearDown(self):
        stop_cleanly(self, self.proxy)

    def test_request_then_shutdown_still_gets_the_answer(self):
        with Origin(read_to_end_then_answer) as origin:
            client = connect(self.proxy.port)
            request = b"GET http://127.0.0.1:%d/x HTTP/1.1\r\nHost: a\r\n\r\n" % origin.port
            client.sendall(request)
            client.shutdown(socket.SHUT_WR)
            # The origin only answers once it has seen the end of the request
            # stream, so the answer proves the half-close was passed on.
            answer = recv_all(client)
            client.close()
        forwarded = b"GET /x HTTP/1.1\r\nHost: a\r\n\r\n"
        self.assertEqual(origin.received, [forwarded])
        self.assertTrue(answer.endswith(hashlib.sha256(forwarded).hexdigest().encode()), answer)

    def test_tunnel_client_shutdown_passes_the_end_on_and_keeps_the_answer_flowing(self):
        def origin_side(sock, origin):
            data = recv_all(sock)
            origin.record(data)
            for _ in range(20):  # an answer in pieces, after the client's end
                sock.sendall(hashlib.sha256(data).digest() * 1000)

        with Origin(origin_side) as origin:
            client = connect(self.proxy.port)
            client.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % origin.port)
            reader = Reader(client)
            self.assertEqual(reader.until(b"\r\n\r\n"), b"HTTP/1.1 200 OK\r\n\r\n")
            payload = bytes(range(256)) * 4096
            client.sendall(payload)
            client.shutdown(socket.SHUT_WR)
            answer = reader.rest()
            client.close()
        self.assertEqual(origin.received, [payload])
        self.assertEqual(answer, hashlib.sha256(payload).digest() * 20000)

    def test_tunnel_origin_shutdown_reaches_the_client_which_may_still_send(self):
        done = threading.Event()

        def origin_side(sock, origin):
            sock.sendall(b"greeting")
            sock.shutdown(socket.SHUT_WR)  # finished talking, still listening
            origin.record(recv_all(sock))
            done.set()

        with Origin(origin_side) as origin:
            client = connect(self.proxy.port)
            client.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % origin.port)
            reader = Reader(client)
            self.assertEqual(reader.until(b"\r\n\r\n"), b"HTTP/1.1 200 OK\r\n\r\n")
            self.assertEqual(reader.rest(), b"greeting")  # then the end of the stream
            late = b"late words " * 100000
            client.sendall(late)
            client.shutdown(socket.SHUT_WR)
            self.assertTrue(done.wait(10))
            self.assertEqual(recv_all(client), b"")
            client.close()
        self.assertEqual(origin.received, [late])


if __name__ == "__main__":
    unittest.main()
