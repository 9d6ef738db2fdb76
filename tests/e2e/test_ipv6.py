"""IPv6: origins on ::1 by literal and by name, CONNECT to [::1], clients over ::1, the block list for IPv6
addresses, IPv4-mapped addresses taken for IPv4 ones and unspecified addresses refused. The addresses of a name:
one that refuses gives way to the next at once, one that never answers has the next tried beside it (the other
family: fast fallback), and 502 only when none connects. A search among silent addresses is bounded: the attempts
of one request in number (each in time: tests/proxy/time_limits_test.cpp), and all of them end with their client.

The whole test runs in a network namespace of its own (root only): lo with 127.0.0.1, ::1 and fd00::1 (a unique
local address, which address sorting puts after IPv4 ones), and a veth pair whose far end takes nothing, so that
192.0.2.10-29 and 2001:db8::dead never answer a connect. The proxy reads a hosts file of the test's own (a mount
namespace)."""

import ctypes, os, subprocess, sys, time, unittest

from harness import (BAD_GATEWAY, BAD_TARGET, NOT_FOUND, TUNNEL_OPEN, Client, ProxyTest, curl, echo, free_port, get,
                     head, reset, temp_file, wait_until, with_files_at)

SILENT4 = [f"192.0.2.{i}" for i in range(10, 30)]
DEAD4, DEAD6 = SILENT4[0], "2001:db8::dead"
HOSTS = temp_file(f"127.0.0.1 localhost\n::1 v6only.test\n{DEAD6} dead6first.test\n127.0.0.1 dead6first.test\n"
                  f"{DEAD4} dead4first.test\nfd00::1 dead4first.test\n127.0.2.1 refused.test\n127.0.2.2 refused.test\n"
                  "127.0.4.1 dead.test\n127.0.4.2 dead.test\n127.0.4.3 dead.test\n::ffff:127.0.0.1 mapped.test\n"
                  f"0.0.0.0 zero.test\n{DEAD4} silent.test\n{DEAD6} silent.test\n" +
                  "".join(f"{a} silent20.test\n" for a in SILENT4))
WRAPPER = with_files_at({"/etc/hosts": HOSTS})


def setUpModule():
    if os.geteuid() != 0 or ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:  # CLONE_NEWNET
        raise unittest.SkipTest("needs root and network namespaces")
    for command in ("ip link set lo up", "ip link add dead0 type veth peer name void0", "ip link set void0 up",
                    "ip link set dead0 up", "ip addr add 192.0.2.1/24 dev dead0",
                    "ip -6 addr add 2001:db8::1/64 dev dead0 nodad", "ip -6 addr add fd00::1/128 dev lo nodad",
                    f"ip -6 neigh add {DEAD6} lladdr 02:00:00:00:00:01 dev dead0 nud permanent",
                    *(f"ip neigh add {a} lladdr 02:00:00:00:00:01 dev dead0 nud permanent" for a in SILENT4)):
        subprocess.run(command.split(), check=True, capture_output=True, timeout=10)


def resolver_order(name):
    """name's IPv4 addresses in the order getaddrinfo gives them in the proxy's namespace, sorted as the proxy's
    resolver sorts them: a test takes the roles from it, so that the address that fails is the one tried first."""
    probe = f"import socket\nprint(*dict.fromkeys(a[4][0] for a in socket.getaddrinfo({name!r}, 80, socket.AF_INET)))"
    return subprocess.run([*WRAPPER, sys.executable, "-c", probe], capture_output=True, text=True, timeout=10,
                          check=True).stdout.split()


def usage_after_a_lookup(test):  # test.usage() once the resolver, which starts at the first lookup, runs
    with test.client() as c:
        test.assertEqual(c.ask(get(free_port(), host="dead.test")), b"Unable to connect")
    return test.usage()


def request(method, name, port):  # for name:port; over CONNECT, a GET goes through the tunnel right behind it
    return head("CONNECT", f"{name}:{port}") + head("GET", "/", "Host: o") if method == "CONNECT" else \
        get(port, "/", "Host: " + name, host=name)


class Six(ProxyTest):
    wrapper = WRAPPER

    def test_origins_on_ipv6_by_literal_and_by_name_and_tunnels_to_them(self):
        """The Host an origin receives keeps the brackets; a tunnel to [::1] carries bytes both ways; a client
        over ::1 is logged as [::1]:port; curl -x http://[::1]:PORT works; a malformed bracket gets 400."""
        origin, echoing = self.origin(address="::1"), self.origin(echo, address="::1")
        with self.client() as c:
            self.assertEqual(c.ask(get(origin.port, "/literal", host="[::1]")), b"ok")
            self.assertEqual(c.ask(get(origin.port, "/named", host="v6only.test")), b"ok")
            c.tunnel(echoing.port, host="[::1]", then=b"ping")
            self.assertEqual(c.exact(4), b"ping")
        self.assertEqual(origin.received, [head("GET", "/literal", f"Host: [::1]:{origin.port}"),
                                           head("GET", "/named", f"Host: v6only.test:{origin.port}")])
        with Client(self.proxy.port, address="::1") as six:
            self.assertEqual(six.ask(get(origin.port, "/over6", host="[::1]")), b"ok")
            self.proxy.wait_for_line(f"[::1]:{six.port} GET http://[::1]:{origin.port}/over6 HTTP/1.1 []")
        got = curl("-x", f"http://[::1]:{self.proxy.port}", f"http://[::1]:{origin.port}/curl")
        self.assertEqual((got.returncode, got.stdout), (0, b"ok"), got.stderr)
        for target in (f"http://[::1:{origin.port}/", f"http://[::1]x:{origin.port}/", "http://[fe80::1%25lo]/"):
            with self.client() as c:
                c.send(head("GET", target))
                self.assertEqual(c.rest(), BAD_TARGET, target)

    def test_a_name_whose_first_address_never_answers_is_reached_through_the_other_family_at_once(self):
        """Happy Eyeballs: the second attempt starts 250 ms after the first, not sooner (beside the first, not
        instead of it) and well within a second, whichever family the silent address is of."""
        origin4, origin6 = self.origin(), self.origin(address="fd00::1")
        for name, origin in (("dead6first.test", origin4), ("dead4first.test", origin6)):
            with self.subTest(name=name), self.client() as c:
                start = time.time()
                self.assertEqual(c.ask(get(origin.port, host=name)), b"ok")
                self.assertTrue(0.2 < time.time() - start < 1, time.time() - start)

    def test_refused_addresses_give_way_to_the_next_at_once_and_502_when_none_is_left(self):
        """Catches trying only the first address, waiting on a refused one, and a wrong answer or log line."""
        origin, dead = self.origin(address=resolver_order("refused.test")[1]), free_port()  # nothing on the first
        for method in ("GET", "CONNECT"):
            with self.subTest(method), self.client() as c, self.client() as failing:
                start = time.time()
                c.send(request(method, "refused.test", origin.port))
                if method == "CONNECT":
                    self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
                self.assertEqual(c.response()[1], b"ok")
                self.assertLess(time.time() - start, 3)
                failing.send(request(method, "dead.test", dead))
                self.assertEqual(failing.rest(), BAD_GATEWAY)
        line = f"No addresses worked for host dead.test:{dead}."
        wait_until(lambda: self.proxy.count(line) >= 2, 5)
        self.assertEqual(self.proxy.count(line), 2)
        with self.client() as c:  # an IPv6 host is written in brackets before its port
            self.assertEqual(c.ask(get(dead, host="[::1]")), b"Unable to connect")
        self.proxy.wait_for_line(f"No addresses worked for host [::1]:{dead}.")

    def test_attempts_at_silent_addresses_are_bounded_in_number(self):
        """Catches a request running more than 4 attempts at once: silent20.test, whose 20 addresses would be under
        way 250 ms apart, holds 4 beside silent.test's two (one of each family) while they wait, past the moment a
        seventh would have started. (How long each waits, 5 s and not the kernel's two minutes of SYN retries:
        tests/proxy/time_limits_test.cpp and tests/server.)"""
        fds = usage_after_a_lookup(self)[0]
        with self.client() as many, self.client() as c:
            many.send(get(80, host="silent20.test"))
            start, counts = time.time(), []
            c.send(get(80, host="silent.test"))
            wait_until(lambda: counts.append(self.proxy.fd_count()) or time.time() - start > 1.8, 3)
            self.assertLessEqual(max(counts), fds + 2 + 2 + 4, "two clients, silent.test's two, silent20.test's four")
            reset(many.sock)  # gone: their searches end too
            reset(c.sock)


class Scarce(ProxyTest):
    wrapper = ("prlimit", "--nofile=256", "--", *WRAPPER)

    def test_the_attempts_of_a_client_that_leaves_end_with_it(self):
        """Catches attempts that live on for the kernel's SYN retries after their client has gone: 13 clients ask
        for silent20.test and leave (reset: a client that only shuts down its sending side may still want the
        answer) once 4 attempts each are under way; the proxy's descriptors are back within 2 s and stay there a
        second later, when searches that went on would have started more, and it still answers."""
        origin, fds = self.origin(), usage_after_a_lookup(self)[0]
        leaving = [self.client() for _ in range(13)]
        for c in leaving:
            self.addCleanup(c.close)
            c.send(get(80, host="silent20.test"))
        self.assertTrue(wait_until(lambda: self.proxy.fd_count() >= fds + 13 * 5, 3), self.proxy.fd_count())
        for c in leaving:
            reset(c.sock)
        wait_until(lambda: self.proxy.fd_count() == fds, 2)
        self.assertEqual(self.proxy.fd_count(), fds, "attempts outlive their clients")
        time.sleep(1)  # a search that went on would have started four more attempts for each client by now
        self.assertEqual(self.proxy.fd_count(), fds, "searches outlive their clients")
        with self.client() as c:
            self.assertEqual(c.ask(get(origin.port)), b"ok")


class Blocked(ProxyTest):
    wrapper = WRAPPER
    options = ("-b", temp_file("[0::1]\n"))

    def test_an_ipv6_entry_blocks_its_literal_and_the_names_that_resolve_to_it(self):
        origin = self.origin(address="::1")
        with self.client() as c:
            for host in ("[::1]", "[0:0::1]", "v6only.test"):
                c.send(get(origin.port, host=host))
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND, host)
        self.proxy.wait_for_line("Blocked: v6only.test (::1)")
        self.assertEqual(origin.connections, 0)


class OneForm(ProxyTest):
    wrapper = WRAPPER
    options = ("-b", temp_file("127.0.0.1\n::1\nlocalhost\n::ffff:7f00:2\n"))

    def test_no_spelling_of_a_listed_or_unspecified_address_reaches_the_origin(self):
        """With the loopback addresses listed, an origin listening on every address sees no connection, by GET or
        by CONNECT: IPv4-mapped addresses are their IPv4 ones, also as list entries and lookup results (404);
        unspecified addresses are no target (400), and a name resolving to one has no address left (502)."""
        origin = self.origin(address="::")
        cases = [(host, NOT_FOUND) for host in ("[::ffff:127.0.0.1]", "[::ffff:7f00:1]", "[0:0:0:0:0:FFFF:7F00:0001]",
                                                "127.0.0.2", "mapped.test")]
        cases += [(host, BAD_TARGET) for host in ("0.0.0.0", "0", "[::]", "[::ffff:0.0.0.0]")]
        cases += [("zero.test", BAD_GATEWAY)]
        for method in ("GET", "CONNECT"):
            for host, answer in cases:
                with self.subTest(method=method, host=host), self.client(timeout=3) as c:
                    c.send(request(method, host, origin.port))
                    self.assertEqual(b"".join(c.response()), answer)
        self.assertEqual(origin.connections, 0)
        self.proxy.wait_for_line(f"No addresses worked for host zero.test:{origin.port}.")
        self.assertEqual([l for l in self.proxy.output() if l.startswith("Blocked: ")],
                         (["Blocked: 127.0.0.1 (127.0.0.1)"] * 3 +
                          ["Blocked: 127.0.0.2 (127.0.0.2)", "Blocked: mapped.test (127.0.0.1)"]) * 2)
