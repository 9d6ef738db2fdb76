"""Large transfers: 200 MiB downloads, uploads (sized and chunked) and
tunnel streams arrive intact, and a slow reader on either side holds the
proxy's memory down instead of making it buffer the transfer."""

import hashlib
import random
import threading
import time
import unittest

from harness import Client, Origin, Proxy, Reader, pipe_body, stop_cleanly

MiB = 1 << 20
SIZE = 200 * MiB
BLOCK = random.Random(7).randbytes(MiB)
RSS_LIMIT_KIB = 64 * 1024
PAUSE = 3  # seconds a slow side stops reading


def blocks(total=SIZE):
    """Deterministic data in 1 MiB blocks, each tagged with its index so that
    a lost, repeated or reordered block changes the hash."""
    for i in range(total // MiB):
        yield i.to_bytes(8, "big") + BLOCK[8:]


EXPECTED = hashlib.sha256()
for _block in blocks():
    EXPECTED.update(_block)
EXPECTED = EXPECTED.hexdigest()


def digest_answer(digest):
    body = digest.encode()
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body


class Transfers(unittest.TestCase):
    def setUp(self):
        self.proxy = Proxy()

    def tearDown(self):
        stop_cleanly(self, self.proxy)

    def peak_rss_while(self, seconds, stalled=None):
        """The proxy's largest resident size (KiB) sampled over at least
        `seconds`; with stalled (a function giving a byte count), also checks
        that the count stops growing - the sender is held back - waiting up to
        10 seconds for the kernel's buffers between the peers to fill on a
        busy machine."""
        peak, start = 0, time.time()
        last, steady_since = None, None
        while True:
            peak = max(peak, self.proxy.rss_kib())
            now = time.time()
            if stalled:
                count = stalled()
                if count != last:
                    last, steady_since = count, now
            done = now - start >= seconds and (not stalled or now - steady_since >= 1.0)
            if done or now - start > 10:
                break
            time.sleep(0.1)
        if stalled:
            self.assertGreaterEqual(time.time() - steady_since, 1.0, "the sender was not held back")
            self.assertLess(last, SIZE)
        return peak

    def test_download_by_a_pausing_client(self):
        progress = {"sent": 0}

        def fast_origin(sock, origin):
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % SIZE)
            for block in blocks():
                sock.sendall(block)
                progress["sent"] += len(block)

        with Origin(fast_origin) as origin, Client(self.proxy.port, timeout=20) as c:
            c.send(f"GET http://127.0.0.1:{origin.port}/big HTTP/1.1\r\n\r\n".encode())
            c.reader.until(b"\r\n\r\n")
            digest = hashlib.sha256()
            c.reader.pipe(16 * MiB, digest.update)
            peak = self.peak_rss_while(PAUSE, lambda: progress["sent"])
            c.reader.pipe(SIZE - 16 * MiB, digest.update)
        self.assertEqual(digest.hexdigest(), EXPECTED)
        self.assertLess(peak, RSS_LIMIT_KIB)

    def upload(self, head, pieces, pause_after=None):
        """Sends head(origin port) and pieces through the proxy to an origin
        that hashes the raw body as it arrives and answers with the hash.
        With pause_after, the origin stops reading for a while after that
        many bytes, and the proxy's peak memory meanwhile is measured.
        Returns (answer body, peak or None)."""
        progress = {"sent": 0, "read": 0}
        paused = threading.Event()
        measured = threading.Event()

        def hashing_origin(sock, origin):
            reader = Reader(sock)
            request_head = reader.until(b"\r\n\r\n")
            digest = hashlib.sha256()

            def sink(piece):
                digest.update(piece)
                progress["read"] += len(piece)
                if pause_after is not None and progress["read"] >= pause_after and not paused.is_set():
                    paused.set()
                    measured.wait(20)  # stays away until the test has looked

            pipe_body(reader, request_head, sink)
            sock.sendall(digest_answer(digest.hexdigest()))

        with Origin(hashing_origin) as origin, Client(self.proxy.port, timeout=20) as c:
            def send_all():
                c.send(head(origin.port))
                for piece in pieces:
                    c.send(piece)
                    progress["sent"] += len(piece)

            sender = threading.Thread(target=send_all, daemon=True)
            sender.start()
            peak = None
            if pause_after is not None:
                self.assertTrue(paused.wait(20))
                try:
                    peak = self.peak_rss_while(PAUSE, lambda: progress["sent"])
                finally:
                    measured.set()
            answer = c.response()[1].decode()
            sender.join(20)
            return answer, peak

    def test_upload_with_content_length_and_a_pausing_origin(self):
        answer, peak = self.upload(
            lambda port: f"POST http://127.0.0.1:{port}/up HTTP/1.1\r\nContent-Length: {SIZE}\r\n\r\n".encode(),
            blocks(), pause_after=16 * MiB)
        self.assertEqual(answer, EXPECTED)
        self.assertLess(peak, RSS_LIMIT_KIB)

    def test_chunked_upload(self):
        def chunked():
            for block in blocks():
                yield b"%x\r\n" % len(block) + block + b"\r\n"
            yield b"0\r\n\r\n"

        wire = hashlib.sha256()
        for piece in chunked():
            wire.update(piece)
        answer, _ = self.upload(
            lambda port: f"PUT http://127.0.0.1:{port}/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n".encode(),
            chunked())
        self.assertEqual(answer, wire.hexdigest())

    def test_tunnel_stream(self):
        def counting_origin(sock, origin):  # the first 8 bytes say how many follow
            reader = Reader(sock)
            digest = hashlib.sha256()
            reader.pipe(int.from_bytes(reader.exact(8), "big"), digest.update)
            sock.sendall(digest.hexdigest().encode())

        with Origin(counting_origin) as origin, Client(self.proxy.port, timeout=20) as c:
            c.send(f"CONNECT 127.0.0.1:{origin.port} HTTP/1.1\r\n\r\n".encode() + SIZE.to_bytes(8, "big"))
            self.assertEqual(c.exact(19), b"HTTP/1.1 200 OK\r\n\r\n")
            for block in blocks():
                c.send(block)
            self.assertEqual(c.exact(64).decode(), EXPECTED)


if __name__ == "__main__":
    unittest.main()
