"""Peers that reset or flood: everyone else is served, nothing that arrived is lost, and the proxy's
descriptors and memory go back to where they were."""

from concurrent.futures import ThreadPoolExecutor
import fcntl, socket, struct, termios, threading, time

from harness import (TIMED_OUT, TOO_LARGE, MiB, ProxyTest, Reader, answering_head, blocks, brief, connect,
                     get, origin_failed, reset, sha256, unpooled)


def unacknowledged(sock):  # bytes written to sock that the peer's kernel has not acknowledged yet
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


class Faults(ProxyTest):
    def test_clients_resetting_mid_download_leave_the_others_served_and_nothing_open(self):
        size = 64 * MiB

        def downloading_origin(sock, origin):
            sock.settimeout(30)  # the proxy, not the origin, must end what its client left
            reader = Reader(sock)
            while reader.until(b"\r\n\r\n"):  # keep-alive, until the proxy closes (EOFError)
                sock.sendall(answering_head(size))
                for block in blocks(size):
                    sock.sendall(block)

        before, request = self.usage(), get(self.origin(downloading_origin).port, "/big")

        def resetting_client(read):  # resets before the answer (None), right after its head (0) or in the body
            with self.client() as c:
                c.send(request)
                if read is not None:
                    c.until(b"\r\n\r\n")
                    c.exact(read)
                reset(c.sock)
            return read

        amounts = [None, None, None, 0, 0, 1, MiB, 3 * MiB, 7 * MiB, 15 * MiB, 31 * MiB]
        with self.client(timeout=20) as c, ThreadPoolExecutor(len(amounts)) as pool:
            c.send(request)
            c.until(b"\r\n\r\n")
            digest = sha256()
            c.pipe(4 * MiB, digest.update)
            resets = pool.map(resetting_client, amounts, timeout=20)
            c.pipe(size - 4 * MiB, digest.update)
            self.assertEqual(list(resets), amounts)  # no resetting client failed
        self.assertEqual(digest.hexdigest(), sha256(blocks(size)).hexdigest())
        self.assert_released(before)
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)

    def test_an_origin_reset_ends_the_client_promptly_after_what_arrived(self):
        """The origin sends what it can, waits for the proxy's kernel to acknowledge it, and resets: the
        client gets those bytes, in order, then an orderly end within 3 s. A late client reads after the
        reset, when the bytes sit partly in the proxy's queue, partly in a socket it stopped reading.
        Bytes still in flight when the reset is sent may arrive before it: the client may get them too,
        but never more than the origin wrote. Part of a head is no answer: the client gets the 502."""
        before, head, stream = self.usage(), answering_head(100 * MiB), lambda total: b"".join(blocks(total))
        for sent, tunnel, late in [(b"HTTP/1.1 200 OK\r\nContent-Le", False, False),
                                   (head + stream(24 * MiB + 777), False, False),
                                   (head + stream(32 * MiB + 5), False, True), (stream(2 * MiB + 1), True, True)]:
            state, was_reset = {"written": 0}, threading.Event()

            def resetting_origin(sock, origin):
                if not tunnel:
                    Reader(sock).until(b"\r\n\r\n")
                sock.settimeout(0.5)
                try:
                    while state["written"] < len(sent):
                        state["written"] += sock.send(memoryview(sent)[state["written"]:])
                except socket.timeout:
                    pass  # nobody reads any more: the rest stays unsent
                last, since, end = unacknowledged(sock), time.time(), time.time() + 5
                while last and time.time() - since < 0.3 and time.time() < end:  # until acknowledged, or stuck
                    time.sleep(0.005)
                    if unacknowledged(sock) != last:
                        last, since = unacknowledged(sock), time.time()
                state["delivered"] = state["written"] - unacknowledged(sock)
                reset(sock)
                state["reset_at"] = time.time()
                was_reset.set()

            port = self.origin(resetting_origin).port
            with self.subTest(size=len(sent), tunnel=tunnel, late=late), self.client(timeout=5) as c:
                c.tunnel(port) if tunnel else c.send(get(port))
                if late:
                    self.assertTrue(was_reset.wait(15))
                received, ended_at = c.rest(), time.time()  # a reset instead of an end fails the test
                self.assertTrue(was_reset.wait(1))
                self.assertLess(ended_at - state["reset_at"], 3, "the client's connection did not end promptly")
                if len(sent) < len(head):
                    self.assertEqual(received, origin_failed(b"reset the connection"))
                    continue
                self.assertTrue(0 < state["delivered"] <= len(received) <= state["written"],
                                f"{state}, received {len(received)}: bytes that reached the proxy were lost")
                self.assertEqual(brief(received), brief(sent[:len(received)]))
        self.assert_released(before)

    def test_request_heads_over_1_mib_are_answered_431_and_their_memory_returned(self):
        """431 and the end of the stream, while what the client still sends is read and dropped. (Where the
        limit falls: tests/http.)"""
        proxy, origin = self.proxy, self.origin(unpooled)  # no origin connection stays open
        with self.client() as c:
            self.assertEqual(c.ask(get(origin.port, "/small")), b"ok")  # buffers in use for the baseline
        before, big = self.usage(), connect(proxy.port, timeout=20)
        big.sendall(get(origin.port, "/big", "X-Filler: ")[:-4])
        for _ in range(16):  # no line end anywhere: the head never ends
            big.sendall(b"a" * MiB)
        self.assertEqual(Reader(big).rest(), TOO_LARGE)
        big.close()
        warning = "Warning! Request exceeds max length of 1048576."
        proxy.wait_for_line(warning)
        self.assert_released(before, memory=True)
        self.assertEqual((sum(b"/big " in r for r in origin.received), sum("/big" in l for l in proxy.output()),
                          proxy.count(warning)), (0, 0, 1), "origin requests, log lines and warnings")
