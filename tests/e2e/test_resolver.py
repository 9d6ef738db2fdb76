"""Name lookups stall neither the loop nor each other, however many are never answered; the system's configuration
applies. (That a client waiting for a lookup is not idle: tests/proxy/time_limits_test.cpp.)

The proxy runs in a mount namespace whose /etc/resolv.conf names this test's DNS server on loopback; it
answers names under slow.test after DELAY, those under dead.test never, and the rest at once (no such name,
where the plan has none). Needs root."""

import heapq, os, select, socket, struct, threading, time

from harness import (BAD_GATEWAY, ProxyTest, clients, get, needs_namespaces, raise_descriptor_limit, temp_file,
                     wait_until, with_files_at)

raise_descriptor_limit(8192)  # 2,300 clients waiting for lookups, here and in the proxy (a socket each)

NET = f"127.53.{os.getpid() % 256}"  # a run's own: runs side by side (other builds) do not meet
DNS_ADDRESS, OTHER_DNS_ADDRESS = NET + ".1", NET + ".2"
DELAY = 4.0
PLAN = {"slow.test": (DELAY, True), "dead.test": (None, True),
        "fast.test": (0, True)}  # domain: (delay, None: never; whether its names exist)
ONLY_DNS = temp_file("hosts: files dns\n")  # for nsswitch.conf: the sources c-ares covers, and no others


class StubDns:
    """One thread answering the queries on address:53, each when its domain's delay has passed: A with
    127.0.0.1, AAAA with no records, NXDOMAIN for names that do not exist. `asked`: (name, type)."""

    def __init__(self, address=DNS_ADDRESS):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Thousands of lookups start within a second, two queries (A, AAAA) each, a kilobyte or so of buffer
        # apiece: a smaller buffer drops some while this thread is busy, and a dropped query waits out the
        # resolver's time-out.
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 32 << 20)  # SO_RCVBUFFORCE: past rmem_max (root)
        self.sock.bind((address, 53))
        self.asked, self.due, self.stopping = [], [], False  # due: a heap of (time, order, reply, peer)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            # Replies due together go out 32 at a time, 5 ms apart: hundreds at one instant would overflow the
            # proxy's socket buffer (a default one), and a lost reply waits out resolv.conf's time-out.
            wait = min(0.05, max(0.005, self.due[0][0] - time.time())) if self.due else 0.05
            if select.select([self.sock], [], [], max(0, wait))[0]:
                query, peer = self.sock.recvfrom(512)
                labels, at = [], 12  # the question: the name's labels, then its type and class
                while query[at]:
                    labels.append(query[at + 1 : at + 1 + query[at]].decode("ascii", "replace").lower())
                    at += 1 + query[at]
                self.asked.append((name := ".".join(labels), qtype := query[at + 2]))
                delay, exists = next((p for d, p in PLAN.items() if name == d or name.endswith("." + d)), (0, False))
                a = b"\xc0\x0c" + struct.pack("!HHIH4s", 1, 1, 60, 4, b"\x7f\0\0\x01") if exists and qtype == 1 else b""
                # A recursive answer (3: no such name): the header, the question and `a`, the A record if any.
                reply = query[:2] + struct.pack("!HHHHH", 0x8180 if exists else 0x8183, 1, len(a) // 16, 0, 0)
                if delay is not None:
                    heapq.heappush(self.due, (time.time() + delay, len(self.asked), reply + query[12 : at + 5] + a, peer))
            for _ in range(32):
                if not self.due or self.due[0][0] > time.time():
                    break
                self.sock.sendto(*heapq.heappop(self.due)[2:])

    def close(self):
        self.stopping = True
        self.thread.join(2)
        self.sock.close()


def lookup(name, port):  # a request that needs name looked up
    return get(port, "/", "Host: " + name, host=name)


class WithDns(ProxyTest):  # the proxy, with this test's DNS server running
    def setUp(self):
        self.dns = StubDns()
        self.addCleanup(self.dns.close)
        super().setUp()


@needs_namespaces
class SlowLookups(WithDns):
    # c-ares waits `timeout` seconds for the first (only) try at the one server, longer than any delay here; no
    # other sources, which would be asked again for names not found.
    wrapper = with_files_at({"/etc/resolv.conf": temp_file(f"nameserver {DNS_ADDRESS}\noptions timeout:20 attempts:1\n"),
                             "/etc/nsswitch.conf": ONLY_DNS})

    def test_thousands_of_pending_names_neither_hold_back_a_fast_one_nor_repeat_a_shared_query(self):
        """With lookups on a bounded pool of threads the dead and slow names would queue, and the fast name behind
        them; memory must stay bounded while they wait. Clients asking for one name at once must share its query,
        yet each get the answer."""
        # A backlog for the proxy's hundreds of connections at once: with 5, their SYNs would wait for retries.
        origin, rss = self.origin(backlog=1024), self.proxy.rss_kib()
        # The sharing clients first: their name's query is under way while the others ask.
        answered = ["shared.slow.test"] * 8 + [f"n{i}.slow.test" for i in range(300)]
        names = answered + [f"n{i}.dead.test" for i in range(2000)]
        waiting = []  # each asks at once: a client that has not sent its head for 10 s is closed
        for c, name in zip(clients(self.proxy.port, len(names), DELAY + 20, every=512), names):
            self.addCleanup(c.close)
            c.send(lookup(name, origin.port))
            waiting.append(c)
        asked = lambda: [name for name, qtype in self.dns.asked if qtype == 1]
        missing = lambda: {(name, qtype) for name in names for qtype in (1, 28)} - set(self.dns.asked)
        self.assertTrue(wait_until(lambda: not missing(), 10), f"{len(missing())} names not asked")
        with self.client() as fast:
            start = time.time()
            self.assertEqual(fast.ask(lookup("fast.test", origin.port)), b"ok")
            self.assertLess(time.time() - start, 1)
        # 2,300 clients with their requests and lookups: measured about 15 MiB, 55 under the sanitizers; a thread
        # per pending lookup would take more, and a few KiB leaked per lookup too.
        self.assertLess(self.proxy.rss_kib() - rss, (96 if self.proxy.sanitized() else 32) * 1024)
        deadline = time.time() + DELAY + 10
        for c in waiting[: len(answered)]:
            c.sock.settimeout(max(0.1, deadline - time.time()))
            self.assertEqual(c.response()[1], b"ok")
        self.assertEqual(asked().count("shared.slow.test"), 1)


@needs_namespaces
class Configuration(WithDns):
    """nsswitch.conf names a source besides files and dns. resolv.conf's "lookup bind" (a BSD line, which glibc
    ignores) keeps c-ares from the hosts file, so a name there stands for one that only another source knows."""
    resolv_conf = temp_file(f"nameserver {DNS_ADDRESS}\nlookup bind\noptions timeout:1 attempts:1\n")
    wrapper = with_files_at({"/etc/resolv.conf": resolv_conf, "/etc/hosts": temp_file("127.0.0.1 elsewhere.test\n"),
                             "/etc/nsswitch.conf": temp_file("hosts: files dns myhostname\n")})

    def test_names_not_found_ask_the_other_sources_time_outs_do_not_and_a_changed_resolv_conf_is_read(self):
        """Catches a fallback missing, or taken after a time-out (it would repeat the slow query), a lookup
        that never ends, and resolv.conf read only once (c-ares reads it when its channel is made)."""
        origin = self.origin()
        with self.client() as c:
            self.assertEqual(c.ask(lookup("elsewhere.test", origin.port)), b"ok")
        self.assertIn(("elsewhere.test", 1), self.dns.asked)  # DNS said no such name first
        with self.client() as c:
            start = time.time()
            c.send(lookup("gone.dead.test", origin.port))
            self.assertEqual(c.rest(), BAD_GATEWAY)
            self.assertLess(time.time() - start, 3)  # resolv.conf's one second, and no second round
        self.assertEqual(self.dns.asked.count(("gone.dead.test", 1)), 1)
        failed = self.proxy.wait_for_line(f"getaddrinfo() failed for host gone.dead.test:{origin.port}!")
        self.assertEqual([l for l in self.proxy.output() if "gone.dead.test" in l],  # the request's line first
                         [c.described("GET", f"http://gone.dead.test:{origin.port}/"), failed])
        other = StubDns(OTHER_DNS_ADDRESS)
        self.addCleanup(other.close)
        with open(self.resolv_conf, "w") as f:  # in place: the proxy's namespace sees the file bound there
            f.write(f"nameserver {OTHER_DNS_ADDRESS}\n")
        time.sleep(1.1)  # the files are checked at most once a second
        with self.client() as c:
            self.assertEqual(c.ask(lookup("moved.fast.test", origin.port)), b"ok")
        self.assertEqual(sorted(other.asked), [("moved.fast.test", 1), ("moved.fast.test", 28)])
