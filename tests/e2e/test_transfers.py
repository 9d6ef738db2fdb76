"""200 MiB downloads and uploads (forwarded, tunnelled) arrive intact, and a slow reader on either
side holds the proxy's memory down instead of making it buffer the transfer."""

import threading, time

from harness import MiB, TUNNEL_OPEN, ProxyTest, Reader, answering_head, blocks, get, head, pipe_body, sha256

SIZE = 200 * MiB
RSS_LIMIT_KIB = 64 * 1024
PAUSE = 1.5  # seconds a slow side stops reading, at least: buffering would show within a fraction of one


class Transfers(ProxyTest):
    def peak_rss_while_held_back(self, progress):
        """The proxy's peak resident size (KiB) over at least PAUSE seconds, once progress["sent"] - what the
        far sender got rid of - stops growing: it is held back (within 10 s, for a busy machine's buffers)."""
        peak, start, last, steady_since = 0, time.time(), None, None
        while time.time() - start < 10:
            peak = max(peak, self.proxy.rss_kib())
            if progress["sent"] != last:
                last, steady_since = progress["sent"], time.time()
            if time.time() - start >= PAUSE and time.time() - steady_since >= 1.0:
                break
            time.sleep(0.1)
        self.assertGreaterEqual(time.time() - steady_since, 1.0, "the sender was not held back")
        self.assertLess(last, SIZE)
        self.assertLess(peak, RSS_LIMIT_KIB)

    def test_download_to_a_pausing_client_arrives_intact_with_memory_held_down(self):
        progress = {"sent": 0}

        def fast_origin(sock, origin):
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(answering_head(SIZE))
            for block in blocks(SIZE):
                sock.sendall(block)
                progress["sent"] += len(block)

        with self.client(timeout=20) as c:
            c.send(get(self.origin(fast_origin).port, "/big"))
            c.until(b"\r\n\r\n")
            digest = sha256()
            c.pipe(16 * MiB, digest.update)
            self.peak_rss_while_held_back(progress)
            c.pipe(SIZE - 16 * MiB, digest.update)
        self.assertEqual(digest.hexdigest(), sha256(blocks(SIZE)).hexdigest())

    def test_uploads_forwarded_and_through_a_tunnel_to_a_pausing_origin(self):
        """The origin answers the body's hash; it stops reading after 16 MiB while memory is measured. (A chunked
        body takes the same way to the origin, framed as tests/http shows.)"""
        sized = lambda target: head("POST", target, f"Content-Length: {SIZE}")
        for request in (lambda port: sized(f"http://127.0.0.1:{port}/up"),
                        lambda port: head("CONNECT", f"127.0.0.1:{port}") + sized("/up")):
            progress, paused, measured = {"sent": 0, "read": 0}, threading.Event(), threading.Event()

            def hashing_origin(sock, origin):
                reader, digest = Reader(sock), sha256()

                def sink(piece):
                    digest.update(piece)
                    progress["read"] += len(piece)
                    if progress["read"] >= 16 * MiB and not paused.is_set():
                        paused.set()
                        measured.wait(20)  # stays away until the test has looked

                pipe_body(reader, reader.until(b"\r\n\r\n"), sink)
                sock.sendall(answering_head(64) + digest.hexdigest().encode())

            port = self.origin(hashing_origin).port
            with self.subTest(request=request(port).split(b"\r\n")[0]), self.client(timeout=20) as c:
                def send_all():
                    c.send(request(port))
                    for piece in blocks(SIZE):
                        c.send(piece)
                        progress["sent"] += len(piece)

                sender = threading.Thread(target=send_all, daemon=True)
                sender.start()
                self.assertTrue(paused.wait(20))
                try:
                    self.peak_rss_while_held_back(progress)
                finally:
                    measured.set()
                if request(port).startswith(b"CONNECT"):
                    self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
                self.assertEqual(c.response()[1].decode(), sha256(blocks(SIZE)).hexdigest())
                sender.join(20)
