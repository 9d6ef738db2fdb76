"""What one client can make the proxy hold is bounded: requests it pipelines without reading the answers
(the proxy's own answers as much as an origin's), and origin connections it leaves behind with bytes they
cannot deliver; meanwhile other clients are served."""

import socket, threading, time

from harness import MiB, ProxyTest, connect, get, head, reset, temp_file, wait_until

BUDGET = 4 * MiB  # what the proxy may hold for one client, queued both ways


def flood(port, request, seconds, total):
    """Pipelines request over and over on one connection for at most `seconds` or `total` bytes, never reading;
    returns how much went out."""
    sent, sock = 0, connect(port)
    sock.settimeout(0.2)
    chunk, end = request * max(1, 65536 // len(request)), time.time() + seconds
    try:
        while sent < total and time.time() < end:
            try:
                sent += sock.send(chunk)
            except socket.timeout:
                pass  # the proxy is not reading: back-pressure
    finally:
        sock.close()
    return sent


class Budget(ProxyTest):
    options = ("-a", "u:p", "-b", temp_file("blocked.test\n"))

    def test_a_client_that_pipelines_refused_requests_and_never_reads_is_held_to_its_budget(self):
        """407s (no credentials) and 404s (a blocked host) pile up for the client until its budget is full;
        then the proxy stops reading it. Resident memory grows by no more than a few budgets, and another
        client is served meanwhile."""
        origin = self.origin()
        baseline = self.proxy.rss_kib()
        for request in (head("GET", "http://blocked.test/", "Proxy-Authorization: Basic dTpw"), get(origin.port)):
            done = []
            thread = threading.Thread(target=lambda: done.append(flood(self.proxy.port, request, 4, 256 * MiB)))
            thread.start()
            time.sleep(1.5)
            with self.client() as other:
                self.assertEqual(other.ask(get(origin.port, "/", "Proxy-Authorization: Basic dTpw")), b"ok")
            peak = self.proxy.rss_kib()
            thread.join(10)
            self.assertLess(done[0], 64 * MiB, "the proxy kept reading a client that never reads")
            slack = 96 * 1024 if self.proxy.sanitized() else 8 * 1024  # the sanitizers' shadow and quarantine
            self.assertLess(peak - baseline, 3 * BUDGET // 1024 + slack, f"grew by {peak - baseline} KiB")


class Abandoned(ProxyTest):
    def test_origin_connections_a_client_leaves_with_bytes_undelivered_end_within_seconds(self):
        """Clients send big bodies to origins that never read and go away: each origin connection holds what it
        could not deliver a few seconds at most (not the 600 s of an exchange in flight), and no more than its
        client's budget meanwhile."""
        def never_reads(sock, origin):
            time.sleep(20)

        origins = [self.origin(never_reads), self.origin(never_reads)]
        before = self.usage()
        peak = 0
        for i in range(12):
            sock = connect(self.proxy.port)
            sock.settimeout(0.3)
            request = get(origins[i % 2].port, "/up", f"Content-Length: {7 * MiB}", method="POST")
            try:
                sock.sendall(request + b"x" * (7 * MiB))
            except socket.timeout:
                pass  # stalled: nobody takes the rest
            reset(sock)  # gone: a close would wait behind the bytes the proxy does not read
            peak = max(peak, self.proxy.rss_kib())
        self.assertLess(peak - before[1], 12 * BUDGET // 1024 + 8 * 1024, f"grew by {peak - before[1]} KiB")
        start = time.time()
        self.assertTrue(wait_until(lambda: self.proxy.fd_count() == before[0], 12), self.proxy.fd_count() - before[0])
        self.assertLess(time.time() - start, 8)
