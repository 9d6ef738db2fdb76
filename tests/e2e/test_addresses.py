"""A name with several addresses: the proxy moves past one that refuses or stays silent to the next,
and answers 502 only when none of them connects.

The proxy runs in a mount namespace whose /etc/hosts is a file of this test giving each name a few
addresses in 127.0.0.0/8. Needs root."""

from concurrent.futures import ThreadPoolExecutor
import socket, subprocess, sys, time

from harness import (BAD_GATEWAY, TUNNEL_OPEN, ProxyTest, backlog, free_port, get, head, needs_namespaces, temp_file,
                     wait_until, with_file_at)

HOSTS = {"refused.test": ["127.0.2.1", "127.0.2.2"], "silent.test": ["127.0.3.1", "127.0.3.2"],
         "dead.test": ["127.0.4.1", "127.0.4.2", "127.0.4.3"]}
SILENCE = 5  # seconds the proxy gives an address that does not answer while others remain
HOSTS_FILE = temp_file("".join(f"{a} {name}\n" for name, addresses in HOSTS.items() for a in addresses))
WRAPPER = with_file_at(HOSTS_FILE, "/etc/hosts")


def resolver_order():
    """Each name's addresses in the order getaddrinfo gives them inside the proxy's namespace. glibc sorts them by
    its destination address selection (/etc/gai.conf; for these, by the longest prefix shared with the source
    127.0.0.1), which here keeps the order of HOSTS, e.g. 127.0.4.1 before 127.0.4.2 before 127.0.4.3. The tests
    take the roles from this order, so that the address that fails is the one tried first whatever the sorting."""
    probe = ("import socket, sys\nfor name in sys.argv[1:]:\n    print(*dict.fromkeys(a[4][0] for a in "
             "socket.getaddrinfo(name, 80, socket.AF_INET, socket.SOCK_STREAM)))")
    out = subprocess.run([*WRAPPER, sys.executable, "-c", probe, *HOSTS], capture_output=True, text=True,
                         timeout=10, check=True).stdout
    return dict(zip(HOSTS, (line.split() for line in out.splitlines())))


def request(method, name, port):
    """A request for name:port; over CONNECT, the same GET goes through the tunnel right behind it."""
    if method == "CONNECT":
        return head("CONNECT", f"{name}:{port}") + head("GET", "/", "Host: o")
    return get(port, "/", "Host: " + name, host=name)


@needs_namespaces
class Addresses(ProxyTest):
    wrapper = WRAPPER

    @classmethod
    def setUpClass(cls):
        cls.order = resolver_order()

    def served(self, method, name, port):
        """Asks for name:port (through a tunnel for CONNECT); returns the body and the seconds it took."""
        with self.client(timeout=20) as c:
            start = time.time()
            c.send(request(method, name, port))
            if method == "CONNECT":
                self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
            return c.response()[1], time.time() - start

    def test_a_refusing_first_address_gives_way_to_the_next_at_once(self):
        """Catches trying only the first address (a 502), and waiting on a refused one."""
        origin = self.origin(address=self.order["refused.test"][1])  # nothing listens on the first
        for method in ("GET", "CONNECT"):
            with self.subTest(method):
                body, took = self.served(method, "refused.test", origin.port)
                self.assertEqual(body, b"ok")
                self.assertLess(took, 3)
        self.assertEqual(len(origin.received), 2)

    def test_a_silent_first_address_is_given_up_after_its_time_for_the_next(self):
        """An address whose SYNs are dropped: catches waiting on it as long as the kernel retries (minutes,
        past the bound) and giving it up without waiting its time (an answer well before 5 s)."""
        silent, origin = self.order["silent.test"][0], self.origin(address=self.order["silent.test"][1])
        with socket.socket() as full:  # an accept queue that is full and never taken from drops new SYNs
            full.bind((silent, origin.port))
            full.listen(1)
            fillers = [socket.create_connection((silent, origin.port), 5) for _ in range(2)]
            self.assertTrue(wait_until(lambda: backlog(origin.port, silent) == 2, 5))
            try:
                with ThreadPoolExecutor(2) as pool:  # the two wait their SILENCE at once
                    answers = list(pool.map(lambda m: self.served(m, "silent.test", origin.port),
                                            ("GET", "CONNECT"), timeout=30))
            finally:
                for f in fillers:
                    f.close()
        for method, (body, took) in zip(("GET", "CONNECT"), answers):
            with self.subTest(method):
                self.assertEqual(body, b"ok")
                self.assertGreater(took, SILENCE - 1)
                self.assertLess(took, 3 * SILENCE)

    def test_when_every_address_refuses_the_client_gets_502_and_the_log_says_so(self):
        port = free_port()
        for method in ("GET", "CONNECT"):
            with self.subTest(method), self.client() as c:
                c.send(request(method, "dead.test", port))
                self.assertEqual(c.rest(), BAD_GATEWAY)
        line = f"No addresses worked for host dead.test:{port}."
        wait_until(lambda: self.proxy.count(line) >= 2, 5)
        self.assertEqual(self.proxy.count(line), 2)

