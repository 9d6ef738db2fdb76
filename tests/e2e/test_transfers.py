"""200 MiB downloads, uploads (sized, chunked, tunnelled) arrive intact, and a slow reader on either
side holds the proxy's memory down instead of making it buffer the transfer."""

import hashlib, threading, time, unittest

from harness import MiB, TUNNEL_OPEN, ProxyTest, Reader, blocks, pipe_body

SIZE = 200 * MiB
RSS_LIMIT_KIB = 64 * 1024
PAUSE = 3  # seconds a slow side stops reading


def sha256(pieces):
    digest = hashlib.sha256()
    for piece in pieces:
        digest.update(piece)
    return digest.hexdigest()


def chunked():
    for block in blocks(SIZE):
        yield b"%x\r\n%s\r\n" % (len(block), block)
    yield b"0\r\n\r\n"


EXPECTED = sha256(blocks(SIZE))


class Transfers(ProxyTest):
    def peak_rss_while_held_back(self, sent):
        """The proxy's peak resident size (KiB) over at least PAUSE seconds, once sent() - what the far
        sender got rid of - stops growing: it is held back (within 10 s, for a busy machine's buffers)."""
        peak, start, last, steady_since = 0, time.time(), None, None
        while time.time() - start < 10:
            peak = max(peak, self.proxy.rss_kib())
            now, count = time.time(), sent()
            if count != last:
                last, steady_since = count, now
            if now - start >= PAUSE and now - steady_since >= 1.0:
                break
            time.sleep(0.1)
        self.assertGreaterEqual(time.time() - steady_since, 1.0, "the sender was not held back")
        self.assertLess(last, SIZE)
        return peak

    def test_download_to_a_pausing_client_arrives_intact_with_memory_held_down(self):
        progress = {"sent": 0}

        def fast_origin(sock, origin):
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % SIZE)
            for block in blocks(SIZE):
                sock.sendall(block)
                progress["sent"] += len(block)

        origin = self.origin(fast_origin)
        with self.client(timeout=20) as c:
            c.send(b"GET http://127.0.0.1:%d/big HTTP/1.1\r\n\r\n" % origin.port)
            c.until(b"\r\n\r\n")
            digest = hashlib.sha256()
            c.pipe(16 * MiB, digest.update)
            peak = self.peak_rss_while_held_back(lambda: progress["sent"])
            c.pipe(SIZE - 16 * MiB, digest.update)
        self.assertEqual(digest.hexdigest(), EXPECTED)
        self.assertLess(peak, RSS_LIMIT_KIB)

    def test_uploads_sized_chunked_and_through_a_tunnel_to_a_pausing_origin(self):
        """The origin answers the raw body's hash; it stops reading after 16 MiB while memory is measured."""
        sized = b"POST %s HTTP/1.1\r\nContent-Length: %d\r\n\r\n"
        for head, pieces in ((sized % (b"http://127.0.0.1:%d/up", SIZE), lambda: blocks(SIZE)),
                             (b"PUT http://127.0.0.1:%d/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", chunked),
                             (b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" + sized % (b"/up", SIZE), lambda: blocks(SIZE))):
            progress, paused, measured = {"sent": 0, "read": 0}, threading.Event(), threading.Event()

            def hashing_origin(sock, origin):
                reader, digest = Reader(sock), hashlib.sha256()

                def sink(piece):
                    digest.update(piece)
                    progress["read"] += len(piece)
                    if progress["read"] >= 16 * MiB and not paused.is_set():
                        paused.set()
                        measured.wait(20)  # stays away until the test has looked

                pipe_body(reader, reader.until(b"\r\n\r\n"), sink)
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n" + digest.hexdigest().encode())

            origin = self.origin(hashing_origin)
            with self.subTest(head=head), self.client(timeout=20) as c:
                def send_all():
                    c.send(head % origin.port)
                    for piece in pieces():
                        c.send(piece)
                        progress["sent"] += len(piece)

                sender = threading.Thread(target=send_all, daemon=True)
                sender.start()
                self.assertTrue(paused.wait(20))
                try:
                    peak = self.peak_rss_while_held_back(lambda: progress["sent"])
                finally:
                    measured.set()
                if head.startswith(b"CONNECT"):
                    self.assertEqual(c.until(b"\r\n\r\n"), TUNNEL_OPEN)
                self.assertEqual(c.response()[1].decode(), sha256(pieces()))
                sender.join(20)
                self.assertLess(peak, RSS_LIMIT_KIB)

if __name__ == "__main__":
    unittest.main()
