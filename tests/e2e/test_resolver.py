"""Name lookups stall neither the loop nor each other: while one client waits for a slow name, others'
transfers flow and other names resolve at once; a lookup slower than the idle time-out still ends in
an answer.

The proxy runs in a mount namespace whose /etc/resolv.conf names a DNS server of this test on loopback;
it answers names under slow.test and gone.test (no such name) after DELAY, under late.test and
lost.test (no such name) after LONG, and the rest at once. Needs root."""

import heapq, os, select, socket, struct, threading, time

from harness import (BAD_GATEWAY, TIMED_OUT, ProxyTest, Reader, answering_head, clients, get, head, needs_namespaces,
                     raise_descriptor_limit, temp_file, wait_until, with_file_at)

raise_descriptor_limit(4096)  # hundreds of clients waiting for lookups, here and in the proxy (a socket each)

DNS_ADDRESS = f"127.53.{os.getpid() % 256}.1"  # a run's own: runs side by side (other builds) do not meet
DELAY, LONG = 4.0, 12.0  # LONG: past the proxy's 10-second idle time-out, within resolv.conf's timeout
PLAN = {"slow.test": (DELAY, True), "gone.test": (DELAY, False), "late.test": (LONG, True),
        "lost.test": (LONG, False), "fast.test": (0, True)}  # domain: (delay, whether its names exist)


def question(query):
    """The dotted name (lower case), the query type and the end of the question section."""
    labels, at = [], 12
    while query[at]:
        labels.append(query[at + 1 : at + 1 + query[at]].decode("ascii", "replace").lower())
        at += 1 + query[at]
    return ".".join(labels), query[at + 2], at + 5


class StubDns:
    """One thread answering the queries on DNS_ADDRESS:53, each when its domain's delay has passed: A
    with 127.0.0.1, AAAA with no records, NXDOMAIN for names that do not exist. Every question is
    kept in `asked` as (name, type)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Hundreds of lookups start within milliseconds, two queries each: the default buffer would drop some.
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE: past rmem_max (root)
        self.sock.bind((DNS_ADDRESS, 53))
        self.asked, self.due, self.stopping = [], [], False  # due: a heap of (time, order, reply, peer)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            wait = min(0.05, self.due[0][0] - time.time()) if self.due else 0.05
            if select.select([self.sock], [], [], max(0, wait))[0]:
                self._take(*self.sock.recvfrom(512))
            while self.due and self.due[0][0] <= time.time():
                _, _, reply, peer = heapq.heappop(self.due)
                self.sock.sendto(reply, peer)

    def _take(self, query, peer):
        name, qtype, end = question(query)
        self.asked.append((name, qtype))
        delay, exists = next((p for d, p in PLAN.items() if name == d or name.endswith("." + d)), (0, False))
        records = b""
        if exists and qtype == 1:
            records = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
        flags = 0x8180 if exists else 0x8183  # a recursive answer; 3: no such name
        header = query[:2] + struct.pack("!HHHHH", flags, 1, 1 if records else 0, 0, 0)
        heapq.heappush(self.due, (time.time() + delay, len(self.asked), header + query[12:end] + records, peer))

    def close(self):
        self.stopping = True
        self.thread.join(2)
        self.sock.close()


def lookup(name, port):  # a request that needs name looked up
    return get(port, "/", "Host: " + name, host=name)


@needs_namespaces
class SlowLookups(ProxyTest):
    # glibc waits `timeout` seconds for the first (only) try at the one server, longer than LONG.
    conf = temp_file(f"nameserver {DNS_ADDRESS}\noptions timeout:20 attempts:1\n")
    wrapper = with_file_at(conf, "/etc/resolv.conf")

    def setUp(self):
        self.dns = StubDns()
        self.addCleanup(self.dns.close)
        super().setUp()

    def test_a_slow_name_does_not_stall_another_clients_transfer(self):
        """A synchronous lookup would hold back every trickled byte until the slow answer."""
        ticks = 20

        def trickle(sock, origin):  # a body sent in small pieces, 100 ms apart
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(answering_head(ticks))
            for _ in range(ticks):
                time.sleep(0.1)
                sock.sendall(b"x")

        streaming, named = self.origin(trickle), self.origin()
        waiting, flowing = self.client(), self.client()
        start, answer = time.time(), {}
        waiting.send(lookup("slow.test", named.port))
        self.proxy.wait_for_line(lambda l: "slow.test" in l)
        flowing.send(get(streaming.port))
        flowing.until(b"\r\n\r\n")

        def wait_for_answer():
            answer["body"] = waiting.response()[1]
            answer["at"] = time.time() - start

        waiter = threading.Thread(target=wait_for_answer, daemon=True)
        waiter.start()
        for _ in range(ticks):
            self.assertEqual(flowing.exact(1), b"x")
        trickled = time.time() - start
        waiter.join(15)
        self.assertEqual(answer["body"], b"ok")
        self.assertGreater(answer["at"], DELAY - 0.5)
        self.assertLess(trickled, answer["at"])  # every piece came while the lookup was pending
        waiting.close()
        flowing.close()

    def test_a_failed_slow_lookup_answers_502_after_the_description_line(self):
        with self.client() as c:
            c.send(head("GET", "http://gone.test/a", "Host: gone.test") + get(9, "/b"))  # pipelined behind it
            self.assertEqual(c.rest(), BAD_GATEWAY)
        self.proxy.wait_for_line("getaddrinfo() failed for host gone.test:80!")  # the log may lag the answer
        lines = self.proxy.output()
        first = next(i for i, l in enumerate(lines) if "GET http://gone.test/a" in l)
        self.assertEqual(lines[first + 1], "getaddrinfo() failed for host gone.test:80!")
        self.assertFalse([l for l in lines if "127.0.0.1:9/b" in l])  # never taken up: the connection was closing

    def test_hundreds_of_slow_names_neither_hold_back_a_fast_one_nor_repeat_a_shared_query(self):
        """With a few lookup threads the slow names would queue, and the fast name behind them; clients
        asking for one name at once must share its query, yet each get the answer."""
        # The origin's backlog takes the proxy's hundreds of connections at once: with socketserver's 5 the
        # kernel would drop their SYNs, and the answers would wait for the retries.
        origin, slow, sharing = self.origin(backlog=1024), 300, 8
        # The sharing clients first: their name's query is under way while the others ask.
        waiting = list(clients(self.proxy.port, sharing + slow, DELAY + 10))
        for i, c in enumerate(waiting):
            self.addCleanup(c.close)
            c.send(lookup("shared.slow.test" if i < sharing else f"n{i}.slow.test", origin.port))
        names = {"shared.slow.test"} | {f"n{i}.slow.test" for i in range(sharing, sharing + slow)}
        asked = lambda: {name for name, qtype in self.dns.asked if qtype == 1}
        self.assertTrue(wait_until(lambda: names <= asked(), 2 * DELAY), f"{len(names - asked())} names not asked")
        with self.client() as fast:
            start = time.time()
            self.assertEqual(fast.ask(lookup("fast.test", origin.port)), b"ok")
            self.assertLess(time.time() - start, DELAY / 2)
        deadline = time.time() + DELAY + 10
        for c in waiting:
            c.sock.settimeout(max(0.1, deadline - time.time()))
            self.assertEqual(c.response()[1], b"ok")
        self.assertEqual([n for n, qtype in self.dns.asked if n == "shared.slow.test" and qtype == 1],
                         ["shared.slow.test"])

    def test_a_lookup_longer_than_the_idle_time_out_still_ends_in_an_answer(self):
        """A client waiting for its lookup is not idle: timed out, it got neither the answer nor a 502."""
        origin = self.origin()
        found, missing = self.client(timeout=LONG + 8), self.client(timeout=LONG + 8)
        start = time.time()
        found.send(lookup("late.test", origin.port))
        missing.send(lookup("lost.test", 80))
        self.assertEqual(found.response()[1], b"ok")
        self.assertEqual(missing.rest(), BAD_GATEWAY)
        self.assertGreater(time.time() - start, LONG - 0.5)  # the answers really waited for the lookups
        self.proxy.wait_for_line("getaddrinfo() failed for host lost.test:80!")
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)
        found.close()
        missing.close()

