"""A name with several addresses: the proxy moves past one that refuses at once, races the next beside one
that stays silent, and answers 502 only when none connects. The proxy runs in a mount namespace whose /etc/hosts, a file of this test, gives
each name a few addresses in 127.0.0.0/8. Needs root."""

from concurrent.futures import ThreadPoolExecutor
import socket, subprocess, sys, time

from harness import (BAD_GATEWAY, TUNNEL_OPEN, ProxyTest, backlog, free_port, get, head, needs_namespaces, temp_file,
                     wait_until, with_files_at)

HOSTS = {"refused.test": ["127.0.2.1", "127.0.2.2"], "silent.test": ["127.0.3.1", "127.0.3.2"],
         "dead.test": ["127.0.4.1", "127.0.4.2", "127.0.4.3"]}
STAGGER = 0.25  # seconds the proxy gives an address that does not answer before it tries the next beside it
WRAPPER = with_files_at({"/etc/hosts": temp_file("".join(f"{a} {n}\n" for n, addresses in HOSTS.items()
                                                       for a in addresses))})


def resolver_order():
    """Each name's addresses in the order getaddrinfo gives them inside the proxy's namespace (glibc may sort
    them, and the proxy's resolver sorts by the same rules): the tests take the roles from it, so that the address
    that fails is the one tried first."""
    probe = ("import socket, sys\nfor name in sys.argv[1:]:\n    print(*dict.fromkeys(a[4][0] for a in "
             "socket.getaddrinfo(name, 80, socket.AF_INET, socket.SOCK_STREAM)))")
    out = subprocess.run([*WRAPPER, sys.executable, "-c", probe, *HOSTS], capture_output=True, text=True,
                         timeout=10, check=True).stdout
    return dict(zip(HOSTS, (line.split() for line in out.splitlines())))


def request(method, name, port):  # for name:port; over CONNECT, a GET goes through the tunnel right behind it
    return head("CONNECT", f"{name}:{port}") + head("GET", "/", "Host: o") if method == "CONNECT" else \
        get(port, "/", "Host: " + name, host=name)


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

    def test_refused_addresses_give_way_to_the_next_at_once_and_502_when_none_is_left(self):
        """Catches trying only the first address, waiting on a refused one, and a wrong answer or log line."""
        origin, dead = self.origin(address=self.order["refused.test"][1]), free_port()  # nothing on the first
        for method in ("GET", "CONNECT"):
            with self.subTest(method), self.client() as c:
                body, took = self.served(method, "refused.test", origin.port)
                self.assertEqual((body, took < 3), (b"ok", True), took)
                c.send(request(method, "dead.test", dead))
                self.assertEqual(c.rest(), BAD_GATEWAY)
        line = f"No addresses worked for host dead.test:{dead}."
        wait_until(lambda: self.proxy.count(line) >= 2, 5)
        self.assertEqual(self.proxy.count(line), 2)

    def test_a_silent_first_address_has_the_next_tried_beside_it_after_a_moment(self):
        """An address whose SYNs are dropped: catches waiting on it as long as the kernel retries (minutes)
        and not giving it its moment first (an answer before 250 ms)."""
        silent, origin = self.order["silent.test"][0], self.origin(address=self.order["silent.test"][1])
        with socket.socket() as full:  # an accept queue that is full and never taken from drops new SYNs
            full.bind((silent, origin.port))
            full.listen(1)
            for _ in range(2):
                self.addCleanup(socket.create_connection((silent, origin.port), 5).close)
            self.assertTrue(wait_until(lambda: backlog(origin.port, silent) == 2, 5))
            with ThreadPoolExecutor(2) as pool:  # the two wait their moment at once
                answers = list(pool.map(lambda m: self.served(m, "silent.test", origin.port), ("GET", "CONNECT"),
                                        timeout=30))
        for method, (body, took) in zip(("GET", "CONNECT"), answers):
            with self.subTest(method):
                self.assertEqual((body, STAGGER - 0.05 < took < 1), (b"ok", True), took)
