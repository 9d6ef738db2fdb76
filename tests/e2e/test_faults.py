"""Faults: peers that stall, reset, flood or keep asking. Whatever one peer
does, everyone else keeps being served, nothing that arrived is lost, and the
proxy's descriptors and memory go back to where they were.

Every wait is bounded; the idle time-out of client connections (more than 10
seconds) is the longest one."""

import base64
import fcntl
import hashlib
import os
import random
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

from harness import Client, Origin, Proxy, Reader, connect, free_port, response, serving, stop_cleanly

MiB = 1 << 20
BLOCK = random.Random(11).randbytes(MiB)
# ASan keeps freed memory in quarantine (256 MiB by default), which would
# hide whether the proxy gave its memory back; a small one still catches
# the use of a block that was freed recently.
SMALL_QUARANTINE = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=16"]))}

# A thousand stalled clients need a thousand descriptors in the proxy and as
# many in this process; the proxy inherits the limit.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if _soft != resource.RLIM_INFINITY and _soft < 8192:
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192 if _hard == resource.RLIM_INFINITY else min(8192, _hard), _hard))


def blocks(total):
    """Deterministic data in pieces of at most 1 MiB, each tagged with its
    index so that a lost, repeated or reordered piece changes the hash."""
    for i in range((total + MiB - 1) // MiB):
        yield (i.to_bytes(8, "big") + BLOCK[8:])[: min(MiB, total - i * MiB)]


def stream(total):
    return b"".join(blocks(total))


def wait_until(condition, timeout, step=0.05):
    end = time.time() + timeout
    while not condition():
        if time.time() > end:
            return False
        time.sleep(step)
    return True


def reset(sock):
    """Closes sock with a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def unacknowledged(sock):
    """Bytes written to sock that its peer's kernel has not acknowledged yet."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


def count(proxy, suffix):
    return sum(line.endswith(suffix) for line in proxy.output())


# Run as a process of its own: 2,000 clients that connect and reset at once,
# a third of them after part of a request head, a third after a whole
# request (the proxy then opens an upstream for nobody).
STORM = """
import socket, struct, sys, time
port, origin = int(sys.argv[1]), int(sys.argv[2])
wanted = ":%04X" % port
def backlog():
    with open("/proc/net/tcp") as table:
        for row in (line.split() for line in table):
            if row[1].endswith(wanted) and row[3] == "0A":
                return int(row[4].split(":")[1], 16)
    return 0
end = time.time() + 50
for i in range(2000):
    while i % 32 == 0 and backlog() > 64 and time.time() < end:
        time.sleep(0.002)
    s = socket.create_connection(("127.0.0.1", port), 10)
    if i % 3 == 1:
        s.sendall(b"GET http://127.0.0.1:%d/half" % origin)
    elif i % 3 == 2:
        s.sendall(b"GET http://127.0.0.1:%d/gone HTTP/1.1\\r\\nHost: o\\r\\n\\r\\n" % origin)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
"""


class Faults(unittest.TestCase):
    def start(self, *options, env=None):
        port = free_port()
        self.proxy = Proxy(port, *options, port=port, env=env)
        return self.proxy

    def tearDown(self):
        stop_cleanly(self, self.proxy)

    def let_accept(self, proxy):
        """Keeps the listen backlog from overflowing: the proxy accepts one
        client per turn, and a client whose SYN is dropped waits a second."""
        wait_until(lambda: proxy.accept_queue() < 64, 5, 0.002)

    def assert_released(self, proxy, fds, within=5):
        wait_until(lambda: proxy.fd_count() == fds, within)
        self.assertEqual(proxy.fd_count(), fds, "descriptors left open")

    def test_a_thousand_stalled_heads_are_timed_out_and_leave_nothing_open(self):
        proxy = self.start()
        fds = proxy.fd_count()
        clients = []
        first = time.time()
        for i in range(1000):
            if i % 32 == 0:
                self.let_accept(proxy)
            c = connect(proxy.port)
            c.sendall(b"GET http://127.0.0.1:9/ HTTP/1.1\r\nHost: stalled\r\nUser-Ag")
            clients.append(c)
        self.assertTrue(wait_until(lambda: proxy.fd_count() == fds + 1000, 10), proxy.fd_count() - fds)
        last = time.time()

        with Origin(serving()) as origin, Client(proxy.port) as c:  # the others are still served
            self.assertEqual(c.ask(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % origin.port), b"ok")

        self.assertTrue(wait_until(lambda: count(proxy, " has timed out.") > 0, 15))
        self.assertGreater(time.time() - first, 9.9, "timed out before 10 idle seconds")
        self.assertTrue(wait_until(lambda: count(proxy, " has timed out.") >= 1000, 15 - (time.time() - last)))
        time.sleep(0.2)
        ended = [l.split()[0] for l in proxy.output() if l.endswith(" has timed out.")]
        self.assertEqual(len(ended), 1000)
        self.assertEqual(len(set(ended)), 1000)
        for c in clients:  # each one sees the end of its stream
            c.settimeout(5)
            self.assertEqual(c.recv(1), b"")
            c.close()
        self.assert_released(proxy, fds)

    def test_clients_resetting_mid_download_leave_the_others_served_and_nothing_open(self):
        size = 64 * MiB
        expected = hashlib.sha256(stream(size)).hexdigest()
        finished = []

        def downloading_origin(sock, origin):
            sock.settimeout(30)  # the proxy, not the origin, must end what its client left
            try:
                reader = Reader(sock)
                while True:  # keep-alive, until the proxy closes
                    reader.until(b"\r\n\r\n")
                    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % size)
                    for block in blocks(size):
                        sock.sendall(block)
            except (OSError, EOFError):
                pass
            finally:
                with origin.lock:
                    finished.append(1)

        proxy = self.start()
        fds = proxy.fd_count()
        with Origin(downloading_origin) as origin:
            request = b"GET http://127.0.0.1:%d/big HTTP/1.1\r\nHost: o\r\n\r\n" % origin.port

            done = []

            def resetting_client(read):
                c = connect(proxy.port)
                c.sendall(request)
                if read is not None:
                    reader = Reader(c)
                    reader.until(b"\r\n\r\n")
                    reader.exact(read)
                reset(c)
                done.append(read)

            # Resets before the answer, right after its head and in the body.
            amounts = [None, None, None, 0, 0, 1, MiB, 3 * MiB, 7 * MiB, 15 * MiB, 31 * MiB]
            threads = [threading.Thread(target=resetting_client, args=(n,), daemon=True) for n in amounts]
            with Client(proxy.port, timeout=20) as c:
                c.send(request)
                c.reader.until(b"\r\n\r\n")
                digest = hashlib.sha256()
                c.reader.pipe(4 * MiB, digest.update)
                for t in threads:
                    t.start()
                c.reader.pipe(size - 4 * MiB, digest.update)
                for t in threads:
                    t.join(20)
                self.assertEqual(len(done), len(amounts), "a resetting client failed")
                self.assertEqual(digest.hexdigest(), expected)
                # The same connection goes on serving.
                c.send(request)
                c.reader.until(b"\r\n\r\n")
                c.reader.pipe(size, lambda piece: None)
            # Every upstream was closed, so every origin handler has ended.
            self.assertTrue(wait_until(lambda: len(finished) == origin.connections, 5),
                            (len(finished), origin.connections))
        self.assert_released(proxy, fds)
        self.assertEqual(count(proxy, " has timed out."), 0)

    def test_an_origin_reset_ends_the_client_after_what_arrived(self):
        proxy = self.start()
        fds = proxy.fd_count()
        cases = [  # (what the origin sends before its reset, tunnel, client reads only after the reset)
            (b"HTTP/1.1 200 OK\r\nContent-Le", False, False),
            (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (100 * MiB) + stream(24 * MiB + 777), False, False),
            # Sent while nobody reads: held partly in the proxy's queue and
            # partly in its socket, which it has stopped reading for a while.
            (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (100 * MiB) + stream(32 * MiB + 5), False, True),
            (stream(5 * MiB + 3), True, False),
            (stream(2 * MiB + 1), True, True),
        ]
        for sent, tunnel, late in cases:
            with self.subTest(size=len(sent), tunnel=tunnel, late=late):
                acknowledged, received = self.reset_by_origin(proxy, sent, tunnel, late)
                self.assertGreater(acknowledged, 0)
                digest = lambda data: (len(data), hashlib.sha256(data).hexdigest())
                self.assertEqual(digest(received), digest(sent[:acknowledged]))
        self.assert_released(proxy, fds)

    def reset_by_origin(self, proxy, sent, tunnel, late):
        """Has an origin send `sent` (as much as it can), wait until the
        proxy's kernel has acknowledged what went out, and reset. Checks that
        the client's connection then ends promptly and in order. Returns
        (bytes acknowledged before the reset, what the client received)."""
        state = {}
        was_reset = threading.Event()

        def resetting_origin(sock, origin):
            if not tunnel:
                Reader(sock).until(b"\r\n\r\n")
            sock.settimeout(0.5)
            view, sent_bytes = memoryview(sent), 0
            try:
                while sent_bytes < len(sent):
                    sent_bytes += sock.send(view[sent_bytes:])
            except socket.timeout:
                pass  # nobody reads any more: the rest stays unsent
            previous, stable_since = -1, time.time()
            end = time.time() + 5
            while time.time() < end:  # until acknowledged, or stuck
                now = unacknowledged(sock)
                if now == 0 or time.time() - stable_since > 0.3:
                    break
                if now != previous:
                    previous, stable_since = now, time.time()
                time.sleep(0.005)
            state["delivered"] = sent_bytes - unacknowledged(sock)
            reset(sock)
            state["reset_at"] = time.time()
            was_reset.set()

        with Origin(resetting_origin) as origin:
            c = connect(proxy.port, timeout=5)
            reader = Reader(c)
            if tunnel:
                c.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % origin.port)
                self.assertEqual(reader.until(b"\r\n\r\n"), b"HTTP/1.1 200 OK\r\n\r\n")
            else:
                c.sendall(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: o\r\n\r\n" % origin.port)
            if late:
                self.assertTrue(was_reset.wait(15))
            received = reader.buf  # what came with the tunnel's answer
            try:
                while chunk := c.recv(1 << 20):
                    received += chunk
                ending = "end of stream"
            except ConnectionResetError:
                ending = "reset"
            ended_at = time.time()
            c.close()
            self.assertTrue(was_reset.wait(1))
        self.assertEqual(ending, "end of stream")
        self.assertLess(ended_at - state["reset_at"], 3, "the client's connection did not end promptly")
        return state["delivered"], bytes(received)

    def test_request_heads_over_the_limit_are_dropped_and_their_memory_returned(self):
        proxy = self.start(env=SMALL_QUARANTINE)
        fds = proxy.fd_count()
        with Origin(serving()) as origin:
            ask = b"GET http://127.0.0.1:%d/small HTTP/1.1\r\nHost: o\r\n\r\n" % origin.port
            with Client(proxy.port) as c:
                self.assertEqual(c.ask(ask), b"ok")
            self.assert_released(proxy, fds)
            baseline = proxy.rss_kib()

            big = connect(proxy.port, timeout=20)
            filler = b"a" * MiB  # no line end anywhere: the head never ends
            total = 0

            def flood():
                nonlocal total
                big.sendall(b"GET http://127.0.0.1:%d/big HTTP/1.1\r\nHost: o\r\nX-Filler: " % origin.port)
                while total <= 104857600 + 4 * MiB:
                    big.sendall(filler)
                    total += len(filler)

            flooder = threading.Thread(target=flood, daemon=True)
            flooder.start()
            with Client(proxy.port) as c:  # served meanwhile
                while flooder.is_alive():
                    self.assertEqual(c.ask(ask), b"ok")
                flooder.join(30)
                self.assertFalse(flooder.is_alive())
                proxy.wait_for_line("Warning! Request exceeds max length of 104857600.")
                held = proxy.rss_kib()
                self.assertEqual(c.ask(ask), b"ok")
            big.settimeout(0.5)
            with self.assertRaises(socket.timeout):  # no answer at all
                big.recv(1)
            big.close()
            self.assert_released(proxy, fds)
            slack = (24 if proxy.sanitized() else 8) * 1024
            wait_until(lambda: proxy.rss_kib() < baseline + slack, 5)
            self.assertLess(proxy.rss_kib(), baseline + slack, (baseline, held))
            self.assertTrue(all(b"/small " in r for r in origin.received))
        self.assertFalse(any("/big" in l for l in proxy.output()))

    def test_connect_and_reset_storms_do_not_disturb_real_clients(self):
        proxy = self.start()
        fds = proxy.fd_count()
        with Origin(serving(lambda r: response(r.split(b" ")[1]))) as origin:
            request = lambda path: b"GET http://127.0.0.1:%d%s HTTP/1.1\r\nHost: o\r\n\r\n" % (origin.port, path)
            steady = Client(proxy.port)  # lives through the storm: the server is never restarted
            self.assertEqual(steady.ask(request(b"/steady/0")), b"/steady/0")

            # The storm comes from a process of its own, so that it really
            # runs alongside the clients of this one.
            storm = subprocess.Popen([sys.executable, "-c", STORM, str(proxy.port), str(origin.port)])
            served = 0
            try:
                while storm.poll() is None:
                    served += 1
                    path = b"/real/%d" % served
                    if served % 2:
                        with Client(proxy.port) as c:
                            self.assertEqual(c.ask(request(path)), path)
                    else:
                        self.assertEqual(steady.ask(request(path)), path)
                self.assertEqual(storm.wait(60), 0)
            finally:
                if storm.poll() is None:
                    storm.kill()
                    storm.wait()
            self.assertGreater(served, 10, "no real request met the storm")
            self.assertEqual(steady.ask(request(b"/steady/1")), b"/steady/1")
            steady.close()
            self.assert_released(proxy, fds)
        self.assertEqual(count(proxy, " has timed out."), 0)
        self.assertFalse(any("accept() failed" in l for l in proxy.output()))


class MixedRequests(unittest.TestCase):
    """Forwarded, refused, blocked, failing and ambiguous requests on
    keep-alive and one-shot connections, from several clients at once."""

    AUTH = b"Proxy-Authorization: Basic " + base64.b64encode(b"user:secret") + b"\r\n"
    AUTH_REQUIRED = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
                     b"Content-Length: 0\r\n\r\n", b"")
    NOT_FOUND = (b"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n", b"")
    BAD_GATEWAY = b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nUnable to connect"
    BAD_REQUEST = (b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
                   b"Ambiguous message framing")

    def setUp(self):
        self.listing = tempfile.NamedTemporaryFile("w", suffix=".txt")
        self.listing.write("blocked.test\n")
        self.listing.flush()
        port = free_port()
        self.proxy = Proxy(port, "-a", "user:secret", "-b", self.listing.name, port=port, env=SMALL_QUARANTINE)
        self.origin = Origin(serving(lambda r: response(r.split(b" ")[1])))
        self.dead_port = free_port()  # nothing listens there

    def tearDown(self):
        self.origin.close()
        stop_cleanly(self, self.proxy)
        self.listing.close()

    def plans(self, n, seed):
        """Connections, each a list of request kinds, n requests in all. Kinds
        that end the connection (502, 400) come last on theirs."""
        rnd = random.Random(seed)
        plans, total = [], 0
        while total < n:
            if rnd.random() < 0.75:
                plan = [rnd.choice(["forward", "gateway", "ambiguous"])]
            else:
                plan = rnd.choices(["forward", "auth", "blocked"], [6, 2, 2], k=rnd.randint(5, 30))
                if rnd.random() < 0.2:
                    plan.append(rnd.choice(["gateway", "ambiguous"]))
            plan = plan[: n - total]
            plans.append(plan)
            total += len(plan)
        return plans

    def run_plan(self, plan, tag):
        """Runs one connection's requests; returns the kinds that got a wrong
        answer, with what they got."""
        wrong = []
        with Client(self.proxy.port, timeout=20) as c:
            for i, kind in enumerate(plan):
                path = b"/%s/%d" % (tag, i)
                if kind == "forward":
                    c.send(b"GET http://127.0.0.1:%d%s HTTP/1.1\r\nHost: o\r\n%s\r\n" % (self.origin.port, path, self.AUTH))
                    got, want = c.response()[1], path
                elif kind == "auth":
                    c.send(b"GET http://127.0.0.1:%d/never HTTP/1.1\r\nHost: o\r\n\r\n" % self.origin.port)
                    got, want = c.response(), self.AUTH_REQUIRED
                elif kind == "blocked":
                    c.send(b"GET http://a%d.blocked.test/never HTTP/1.1\r\n%s\r\n" % (i, self.AUTH))
                    got, want = c.response(), self.NOT_FOUND
                elif kind == "gateway":
                    c.send(b"GET http://127.0.0.1:%d/never HTTP/1.1\r\n%s\r\n" % (self.dead_port, self.AUTH))
                    got, want = c.rest(), self.BAD_GATEWAY
                else:
                    c.send(b"POST http://127.0.0.1:%d/never HTTP/1.1\r\nContent-Length: 5\r\n"
                           b"Transfer-Encoding: chunked\r\n%s\r\n0\r\n\r\n" % (self.origin.port, self.AUTH))
                    got, want = c.rest(), self.BAD_REQUEST
                if got != want:
                    wrong.append((kind, got[:200] if isinstance(got, bytes) else got))
        return wrong

    def run_round(self, n, seed, workers=4):
        """n requests over many connections from several threads at once;
        returns (wrong answers, number of each kind)."""
        plans = self.plans(n, seed)
        wrong, lock = [], threading.Lock()

        def worker(k):
            for j in range(k, len(plans), workers):
                try:
                    got = self.run_plan(plans[j], b"%d-%d" % (seed, j))
                except (OSError, EOFError) as e:
                    got = [("connection", repr(e))]
                with lock:
                    wrong.extend(got)

        threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertFalse(any(t.is_alive() for t in threads))
        kinds = {}
        for plan in plans:
            for kind in plan:
                kinds[kind] = kinds.get(kind, 0) + 1
        return wrong, kinds

    def test_ten_thousand_mixed_requests_leave_descriptors_and_memory_as_they_were(self):
        proxy = self.proxy
        fds = proxy.fd_count()
        wrong, _ = self.run_round(1000, 1)  # warm-up: allocator pools and buffers in use
        self.assertEqual(wrong, [])
        wait_until(lambda: proxy.fd_count() == fds, 5)
        self.assertEqual(proxy.fd_count(), fds)
        time.sleep(0.5)
        baseline = proxy.rss_kib()
        blocked_before = sum(l.startswith("Blocked: ") for l in proxy.output())

        wrong, kinds = self.run_round(10000, 2)
        self.assertEqual(wrong, [])
        self.assertEqual(sum(kinds.values()), 10000)
        self.assertTrue(all(kinds.get(k, 0) > 100 for k in ("forward", "auth", "blocked", "gateway", "ambiguous")), kinds)
        self.assertEqual(sum(l.startswith("Blocked: ") for l in proxy.output()) - blocked_before, kinds["blocked"])
        self.assertFalse(any(b"/never" in r for r in self.origin.received))

        wait_until(lambda: proxy.fd_count() == fds, 5)
        self.assertEqual(proxy.fd_count(), fds, "descriptors left open")
        slack = (24 if proxy.sanitized() else 4) * 1024
        wait_until(lambda: proxy.rss_kib() < baseline + slack, 3)
        self.assertLess(proxy.rss_kib(), baseline + slack, f"baseline {baseline} KiB")
        self.assertEqual(sum(l.endswith(" has timed out.") for l in proxy.output()), 0)


if __name__ == "__main__":
    unittest.main()
