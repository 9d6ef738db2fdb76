"""IPv6: origins on ::1 by literal and by name, CONNECT to [::1], clients over ::1, the block list for IPv6
addresses, and fast fallback between the families when one address never answers.

The whole test runs in a network namespace of its own (root only): lo with 127.0.0.1 and ::1, and a veth pair
whose far end takes nothing, so that 192.0.2.10 and 2001:db8::dead never answer a connect. The proxy reads a
hosts file of the test's own (a mount namespace)."""

import ctypes, os, subprocess, time, unittest

from harness import BAD_TARGET, NOT_FOUND, Client, ProxyTest, curl, echo, get, head, temp_file, with_files_at

DEAD4, DEAD6 = "192.0.2.10", "2001:db8::dead"
HOSTS = temp_file(f"127.0.0.1 localhost\n::1 v6only.test\n{DEAD6} dead6first.test\n127.0.0.1 dead6first.test\n"
                  f"{DEAD4} dead4first.test\n::1 dead4first.test\n")


def setUpModule():
    if os.geteuid() != 0 or ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:  # CLONE_NEWNET
        raise unittest.SkipTest("needs root and network namespaces")
    for command in ("ip link set lo up", "ip link add dead0 type veth peer name void0", "ip link set void0 up",
                    "ip link set dead0 up", "ip addr add 192.0.2.1/24 dev dead0",
                    "ip -6 addr add 2001:db8::1/64 dev dead0 nodad",
                    f"ip neigh add {DEAD4} lladdr 02:00:00:00:00:01 dev dead0 nud permanent",
                    f"ip -6 neigh add {DEAD6} lladdr 02:00:00:00:00:01 dev dead0 nud permanent"):
        subprocess.run(command.split(), check=True, capture_output=True, timeout=10)


class Six(ProxyTest):
    wrapper = with_files_at({"/etc/hosts": HOSTS})

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
        """Happy Eyeballs: the second attempt starts 250 ms after the first, well within a second, whichever
        family the silent address is of."""
        origin4, origin6 = self.origin(), self.origin(address="::1")
        for name, origin in (("dead6first.test", origin4), ("dead4first.test", origin6)):
            with self.subTest(name=name), self.client() as c:
                start = time.time()
                self.assertEqual(c.ask(get(origin.port, host=name)), b"ok")
                self.assertLess(time.time() - start, 1)


class Blocked(ProxyTest):
    wrapper = with_files_at({"/etc/hosts": HOSTS})
    options = ("-b", temp_file("[0::1]\n"))

    def test_an_ipv6_entry_blocks_its_literal_and_the_names_that_resolve_to_it(self):
        origin = self.origin(address="::1")
        with self.client() as c:
            for host in ("[::1]", "[0:0::1]", "v6only.test"):
                c.send(get(origin.port, host=host))
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND, host)
        self.proxy.wait_for_line("Blocked: v6only.test (::1)")
        self.assertEqual(origin.connections, 0)
