"""Time-outs: the 10 s idle limit ends only clients with nothing in flight. A client waiting for a slow
origin, or a tunnel that stays quiet, is idle only while no byte moves and has 600 s."""

from concurrent.futures import ThreadPoolExecutor
import time

from harness import NOT_FOUND, TIMED_OUT, ProxyTest, Reader, curl, head, response, temp_file

QUIET = 12  # seconds: past the 10 s limit for clients with nothing in flight, far below 600 s


class Timeouts(ProxyTest):
    options = ("-b", temp_file("blocked.invalid\n"))  # a local answer, without any upstream

    def test_slow_answers_and_quiet_tunnels_outlast_the_idle_limit_that_still_ends_idle_clients(self):
        """The three run at once, so the file waits only once. Catches the 10 s limit applied while an exchange
        is in flight (curl gets an empty reply, the tunnel is cut), and the 600 s one kept for an idle client."""
        checks = (self.slow_answer, self.quiet_tunnel, self.idle_after_a_local_answer)
        with ThreadPoolExecutor(len(checks)) as pool:
            for check in [pool.submit(c) for c in checks]:
                with self.subTest(check):
                    check.result(timeout=45)
        self.assertEqual(self.proxy.count(TIMED_OUT), 1, "only the idle client is ended by the limit")

    def slow_answer(self):
        def late(sock, origin):
            sock.settimeout(30)  # the harness's 10 s would give up before answering
            Reader(sock).until(b"\r\n\r\n")
            time.sleep(QUIET)
            sock.sendall(response(b"worth the wait"))

        origin = self.origin(late)
        got = curl("-w", " %{http_code}", "-x", f"http://127.0.0.1:{self.proxy.port}",
                   f"http://127.0.0.1:{origin.port}/slow")
        self.assertEqual((got.returncode, got.stdout), (0, b"worth the wait 200"), got.stderr)

    def quiet_tunnel(self):
        def talk(sock, origin):
            sock.settimeout(30)
            while data := sock.recv(64):
                sock.sendall(data.upper())

        with self.client(timeout=30) as c:
            c.tunnel(self.origin(talk).port, then=b"ping")
            self.assertEqual(c.exact(4), b"PING")
            time.sleep(QUIET)  # not a byte either way
            c.send(b"still there?")
            self.assertEqual(c.exact(12), b"STILL THERE?")

    def idle_after_a_local_answer(self):
        # The proxy answered the request itself: no upstream, so the 10 s limit applies.
        with self.client(timeout=30) as c:
            c.send(head("GET", "http://blocked.invalid/", "Host: blocked.invalid"))
            self.assertEqual(c.response(), (NOT_FOUND, b""))
            answered = time.time()
            self.assertEqual(c.sock.recv(1), b"")
            self.assertGreater(time.time() - answered, 9.5)
        self.proxy.wait_for_line(lambda l: l.endswith(TIMED_OUT))

