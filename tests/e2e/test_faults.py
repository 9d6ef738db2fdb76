"""Peers that stall, reset, flood or keep asking: everyone else is served, nothing that arrived is lost,
and the proxy's descriptors and memory go back to where they were."""

from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
import base64, fcntl, os, random, socket, struct, subprocess, sys, termios, threading, time

from harness import (AUTH_REQUIRED, BAD_GATEWAY, BAD_REQUEST, NOT_FOUND, TIMED_OUT, TOO_LARGE, MiB, ProxyTest, Reader,
                     answering_head, blocks, brief, clients, connect, free_port, get, path_of, raise_descriptor_limit,
                     reset, response, serving, sha256, temp_file, wait_until)

raise_descriptor_limit(8192)  # a thousand stalled clients, here and in the proxy


def unacknowledged(sock):  # bytes written to sock that the peer's kernel has not acknowledged yet
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


# A process of its own, so that it really runs alongside this one's clients: 2,000 clients that connect
# and reset at once, a third after part of a request head, a third after a whole request (the proxy then
# opens an upstream for nobody).
STORM = """
import sys
from harness import clients, get, reset
port, origin = int(sys.argv[1]), int(sys.argv[2])
for i, c in enumerate(clients(port, 2000)):
    c.send([b"", get(origin, "/gone")[:30], get(origin, "/gone")][i % 3])
    reset(c.sock)
"""


class Faults(ProxyTest):
    def test_a_thousand_stalled_clients_are_timed_out_after_10_s_and_leave_nothing_open(self):
        """Half sent nothing, half part of a head."""
        proxy, before, first = self.proxy, self.usage(), time.time()
        stalled = list(clients(proxy.port, 1000))
        for i, c in enumerate(stalled):
            c.send(get(9, "/", "Host: stalled", "User-Ag")[:-4] if i % 2 else b"")
        self.assertTrue(wait_until(lambda: proxy.fd_count() == before[0] + 1000, 10), proxy.fd_count() - before[0])
        last = time.time()
        with self.client() as c:  # the others are still served
            self.assertEqual(c.ask(get(self.origin().port)), b"ok")
        self.assertTrue(wait_until(lambda: proxy.count(TIMED_OUT) > 0, 15))
        self.assertGreater(time.time() - first, 9.9, "timed out before 10 idle seconds")
        self.assertTrue(wait_until(lambda: proxy.count(TIMED_OUT) >= 1000, 15 - (time.time() - last)))
        time.sleep(0.2)  # lets any extra line arrive
        ended = [l.split()[0] for l in proxy.output() if l.endswith(TIMED_OUT)]
        self.assertEqual((len(ended), len(set(ended))), (1000, 1000))
        self.assertTrue(all(map(str.isdigit, ended)), ended[:5])
        for c in stalled:  # each one sees the end of its stream
            c.sock.settimeout(5)
            self.assertEqual(c.sock.recv(1), b"")
            c.close()
        self.assert_released(before)

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
            c.send(request)  # the same connection goes on serving
            c.until(b"\r\n\r\n")
            c.pipe(size, lambda piece: None)
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
                    self.assertEqual(received, BAD_GATEWAY)
                    continue
                self.assertTrue(0 < state["delivered"] <= len(received) <= state["written"],
                                f"{state}, received {len(received)}: bytes that reached the proxy were lost")
                self.assertEqual(brief(received), brief(sent[:len(received)]))
        self.assert_released(before)

    def test_request_heads_over_1_mib_are_answered_431_and_their_memory_returned(self):
        """A head of exactly 1 MiB is forwarded; a longer one gets 431 and the end of the stream, while what
        the client still sends is read and dropped; others are served meanwhile."""
        proxy, origin, before = self.proxy, self.origin(), self.usage()
        ask, start = get(origin.port, "/small"), get(origin.port, "/big", "X-Filler: ")[:-4]
        with self.client() as c:
            self.assertEqual(c.ask(ask), b"ok")
            self.assertEqual(c.ask(start + b"a" * (MiB - len(start) - 4) + b"\r\n\r\n"), b"ok")  # 1 MiB in all
        self.assert_released(before)
        before, big = self.usage(), connect(proxy.port, timeout=20)

        def flood():  # no line end anywhere: the head never ends
            big.sendall(start)
            for _ in range(16):
                big.sendall(b"a" * MiB)

        flooder = threading.Thread(target=flood, daemon=True)
        flooder.start()
        with self.client() as c:  # served meanwhile
            while flooder.is_alive():
                self.assertEqual(c.ask(ask), b"ok")
        self.assertEqual(Reader(big).rest(), TOO_LARGE)
        big.close()
        warning = "Warning! Request exceeds max length of 1048576."
        proxy.wait_for_line(warning)
        self.assert_released(before, memory=True)
        self.assertEqual((sum(b"/big " in r for r in origin.received), sum("/big" in l for l in proxy.output()),
                          proxy.count(warning)), (1, 1, 1), "origin requests, log lines and warnings")

    def test_connect_and_reset_storms_do_not_disturb_real_clients(self):
        """While STORM runs, real clients are served; one of them lives through the storm: the server is
        never restarted."""
        before, origin = self.usage(), self.origin(serving(path_of))
        steady, served = self.client(), 0
        self.assertEqual(steady.ask(get(origin.port, "/steady/0")), b"/steady/0")
        storm = subprocess.Popen([sys.executable, "-c", STORM, str(self.proxy.port), str(origin.port)],
                                 env={**os.environ, "PYTHONPATH": os.path.dirname(os.path.abspath(__file__))})
        try:
            while storm.poll() is None:
                served += 1
                path = b"/real/%d" % served
                with self.client() if served % 2 else nullcontext(steady) as c:
                    self.assertEqual(c.ask(get(origin.port, path)), path)
            self.assertEqual(storm.wait(60), 0)
        finally:
            storm.kill()
            storm.wait()
        self.assertGreater(served, 10, "no real request met the storm")
        self.assertEqual(steady.ask(get(origin.port, "/steady/1")), b"/steady/1")
        steady.close()
        self.assert_released(before)
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)
        self.assertFalse([l for l in self.proxy.output() if "accept() failed" in l])


class MixedRequests(ProxyTest):
    """Forwarded, refused (for a blocked host: credentials come first), blocked, failing and ambiguous
    requests on keep-alive and one-shot connections, from several clients at once."""

    options = ("-a", "user:secret", "-b", temp_file("blocked.test\n"))
    AUTH = b"Proxy-Authorization: Basic " + base64.b64encode(b"user:secret")
    ENDING = ("gateway", "ambiguous")  # kinds whose answer ends the connection

    def exchange(self, kind, i, path):
        """(request, the exact answer it must get) for a kind of request."""
        port, auth, blocked = self.target.port, self.AUTH, b"a%d.blocked.test" % i
        return {
            "forward": (get(port, path, auth), response(path)),
            "auth": (get(80, "/never", host=blocked), AUTH_REQUIRED),
            "blocked": (get(80, "/never", auth, host=blocked), NOT_FOUND),
            "gateway": (get(self.dead_port, "/never", auth), BAD_GATEWAY),
            "ambiguous": (get(port, "/never", "Content-Length: 5", "Transfer-Encoding: chunked", auth, method="POST")
                          + b"0\r\n\r\n", BAD_REQUEST),
        }[kind]

    def run_plan(self, plan, tag):
        """One connection's requests, a list of kinds; returns the wrong answers."""
        wrong = []
        try:
            with self.client(timeout=20) as c:
                for i, kind in enumerate(plan):
                    request, want = self.exchange(kind, i, b"/%s/%d" % (tag, i))
                    c.send(request)
                    if (got := c.rest() if kind in self.ENDING else c.exact(len(want))) != want:
                        wrong.append((kind, got[:200]))
        except (OSError, EOFError) as e:
            wrong.append(("connection", repr(e)))
        return wrong

    def run_round(self, n, seed):
        """n requests over many connections from 4 threads; returns (wrong answers, count of each kind)."""
        rnd, plans, total = random.Random(seed), [], 0
        while total < n:  # 3 in 4 connections one-shot, the others keep-alive; kinds that end one come last
            keep_alive = rnd.random() >= 0.75
            plan = rnd.choices(["forward", "auth", "blocked"], [6, 2, 2], k=rnd.randint(5, 30)) if keep_alive else []
            plans.append((plan + [rnd.choice(["forward", *self.ENDING])])[: n - total])
            total += len(plans[-1])
        with ThreadPoolExecutor(4) as pool:
            wrong = sum(pool.map(self.run_plan, plans, [b"%d-%d" % (seed, j) for j in range(len(plans))],
                                 timeout=120), [])
        return wrong, Counter(kind for plan in plans for kind in plan)

    def test_ten_thousand_mixed_requests_leave_descriptors_and_memory_as_they_were(self):
        proxy, before = self.proxy, self.usage()
        self.target, self.dead_port = self.origin(serving(path_of)), free_port()
        self.assertEqual(self.run_round(1000, 1)[0], [])  # warm-up: allocator pools and buffers in use
        self.assert_released(before)
        time.sleep(0.5)
        before, blocked_before = self.usage(), proxy.count(" (blocked.test)")
        wrong, kinds = self.run_round(10000, 2)
        self.assertEqual(wrong, [])
        self.assertTrue(all(kinds[k] > 100 for k in ("forward", "auth", "blocked", *self.ENDING)), kinds)
        blocked = lambda: proxy.count(" (blocked.test)") - blocked_before  # lines reach the output a moment later
        wait_until(lambda: blocked() >= kinds["blocked"], 2)
        self.assertEqual(blocked(), kinds["blocked"])
        self.assertFalse([r for r in self.target.received if b"/never" in r])
        self.assert_released(before, memory=True)
        self.assertEqual(proxy.count(TIMED_OUT), 0)
