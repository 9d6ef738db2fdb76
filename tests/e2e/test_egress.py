"""The egress policy (-p) as clients meet it: who may use the proxy, where it may go by name, by network and by
every address a name leads to, CONNECT ports, the default of a proxy on all adapters, and policy files that
cannot be read, at start-up and at a reload, which swaps the block list and the policy together.

The whole test runs in a network namespace of its own (root only). lo has 127.0.0.1, ::1 and the addresses in
LOCAL, all of them this host's; a veth pair leads to a second namespace whose origin, FAR at 198.51.100.2, is
not on this host. The proxy reads a hosts file of the test's own (a mount namespace)."""

import base64, ctypes, os, signal, subprocess, threading, time, unittest

from harness import (BAD_GATEWAY, FORBIDDEN, FORBIDDEN_CLOSING, NOT_FOUND, PROXY, TUNNEL_OPEN, Client, Origin, Proxy,
                     echo, free_port, get, head, stop_cleanly, temp_file, wait_until, with_files_at)

CLONE_NEWNET = 0x40000000
LOCAL = ("10.20.0.1", "192.0.2.50", "203.0.113.7", "169.254.169.254", "2001:db8::50")
FAR_ADDRESS = "198.51.100.2"
HOSTS = temp_file("127.0.0.1 localhost mirror.test deb.mirror.test nope.test a.test b.test\n203.0.113.7 inside.test\n"
                  "127.0.0.2 loop.test\n::ffff:127.0.0.1 mapped.test\n10.20.0.1 private.test\n"
                  "169.254.169.254 metadata.test\n192.0.2.50 here.test\n2001:db8::50 here6.test\n"
                  f"127.0.0.1 mixed.test\n10.20.0.1 mixed.test\n192.0.2.50 mixed.test\n{FAR_ADDRESS} mixed.test\n")
WRAPPER = with_files_at({"/etc/hosts": HOSTS})
FAR = None  # the origin in the second namespace


def run(*commands):
    for command in commands:
        subprocess.run(command.split(), check=True, capture_output=True, timeout=10)


def setUpModule():
    global FAR
    libc = ctypes.CDLL(None, use_errno=True)
    if os.geteuid() != 0 or libc.unshare(CLONE_NEWNET) != 0:
        raise unittest.SkipTest("needs root and network namespaces")
    run("ip link set lo up", *(f"ip addr add {a} dev lo" + " nodad" * (":" in a) for a in LOCAL))
    far = []

    def second_namespace():  # a thread's namespace, which its commands, sockets and threads share
        if libc.unshare(CLONE_NEWNET) == 0:
            run(f"ip link add far0 type veth peer name near0 netns {os.getpid()}", "ip link set lo up",
                f"ip addr add {FAR_ADDRESS}/24 dev far0", "ip link set far0 up")
            far.append(Origin(address=FAR_ADDRESS))

    thread = threading.Thread(target=second_namespace)
    thread.start()
    thread.join(10)
    if not far:
        raise unittest.SkipTest("no second network namespace")
    FAR = far[0]
    run("ip addr add 198.51.100.1/24 dev near0", "ip link set near0 up")


def tearDownModule():
    if FAR:
        FAR.close()


def answer(client, request):  # the whole answer to request (head and body), or what says the proxy closed
    client.send(request)
    try:
        return b"".join(client.response())
    except EOFError:
        return b"(closed)"


def through_tunnel(host, port):  # a CONNECT, with a GET for its origin right behind it
    return head("CONNECT", f"{host}:{port}") + head("GET", "/", "Host: o")


class Egress(unittest.TestCase):
    def start(self, policy=None, *options, all_adapters=True):  # a proxy given policy (text) in a file of its own
        options = ("-p", temp_file(policy), *options) if policy is not None else options
        proxy = Proxy(*options, all_adapters=all_adapters, wrapper=WRAPPER)
        self.addCleanup(stop_cleanly, self, proxy)
        return proxy

    def origin(self, handler=None, address="::"):  # by default on every address of this host
        origin = Origin(handler, address=address)
        self.addCleanup(origin.close)
        return origin

    def denials(self, proxy, count):  # the Denied lines once there are count of them (or 5 s have passed)
        lines = lambda: [line for line in proxy.output() if line.startswith("Denied: ")]
        wait_until(lambda: len(lines()) >= count, 5)
        return lines()

    def test_a_client_outside_the_clients_ranges_is_refused_at_its_first_request_before_its_credentials(self):
        """Catches a client rule not applied, applied after the credentials (a 407 would ask an outsider for
        them) or to later requests only, and a refusal that forwards anything or keeps the connection."""
        origin = self.origin(address="127.0.0.1")
        proxy = self.start("clients 10.20.0.0/24\n", "-a", "user:pw")
        with Client(proxy.port, 3, "10.20.0.1", source="192.0.2.50") as outside:
            outside.send(get(origin.port) * 2)
            self.assertEqual(outside.rest(), FORBIDDEN_CLOSING)
        authorized = "Proxy-Authorization: Basic " + base64.b64encode(b"user:pw").decode()
        with Client(proxy.port, address="10.20.0.1", source="10.20.0.1") as inside:
            self.assertEqual(inside.ask(get(origin.port, "/in", authorized)), b"ok")
        self.assertEqual(origin.received, [head("GET", "/in", f"Host: 127.0.0.1:{origin.port}")])
        refused = f"192.0.2.50:{outside.port} GET http://127.0.0.1:{origin.port}/ HTTP/1.1 []"
        self.assertEqual(self.denials(proxy, 1), ["Denied: 127.0.0.1 (clients)"])
        self.assertEqual(proxy.output()[proxy.output().index(refused) + 1], "Denied: 127.0.0.1 (clients)")

    def test_allowed_names_cover_their_subdomains_and_other_names_pass_only_into_an_allowed_network(self):
        """Catches allow rules that ignore subdomains, turn every other name away before its lookup, or let it
        through whatever its address."""
        origin = self.origin()
        proxy = self.start("allow mirror.test 203.0.113.0/24\n")
        with Client(proxy.port) as c:
            for name in ("mirror.test", "deb.mirror.test", "inside.test"):  # 127.0.0.1, 127.0.0.1, 203.0.113.7
                self.assertEqual(c.ask(get(origin.port, host=name)), b"ok", name)
            # 127.0.0.1, outside the allowed network
            self.assertEqual(answer(c, get(origin.port, host="nope.test")), FORBIDDEN)
            self.assertEqual(c.ask(get(origin.port, host="mirror.test")), b"ok")  # the connection goes on
        self.assertEqual(len(origin.received), 4)
        self.assertEqual(self.denials(proxy, 1), ["Denied: nope.test (allow)"])

    def test_each_deny_keyword_holds_for_every_spelling_and_a_name_goes_to_its_one_allowed_address(self):
        """Each keyword by literal, IPv4-mapped literal and name, by GET (403, the connection kept) and CONNECT
        (403, closed); a denied name before any lookup. mixed.test leads to three denied addresses of this host
        and FAR: the denied ones are skipped, not tried or fatal. this-host follows the interfaces: an address
        added while the proxy runs is denied within a second or two."""
        origin = self.origin()
        proxy = self.start("deny loopback private link-local this-host\ndeny tracker.test\n", all_adapters=False)
        cases = {"loopback": ("127.0.0.1", "[::ffff:127.0.0.1]", "[::1]", "loop.test", "mapped.test"),
                 "private": ("10.20.0.1", "[::ffff:10.20.0.1]", "private.test"),
                 "link-local": ("169.254.169.254", "[::ffff:169.254.169.254]", "metadata.test"),
                 "this-host": ("192.0.2.50", "[::ffff:192.0.2.50]", "here.test", "[2001:db8::50]", "here6.test"),
                 "tracker.test": ("ads.tracker.test",)}  # in no hosts file: a lookup would fail (502)
        with Client(proxy.port) as c:
            for host in (h for hosts in cases.values() for h in hosts):
                self.assertEqual(answer(c, get(origin.port, host=host)), FORBIDDEN, host)
        for host in (h for hosts in cases.values() for h in hosts):
            with Client(proxy.port) as c:
                c.send(head("CONNECT", f"{host}:{origin.port}"))
                self.assertEqual(c.rest(), FORBIDDEN_CLOSING, host)
        # Logged in the one form the host is compared in.
        expected = [f"Denied: {host.strip('[]').removeprefix('::ffff:')} (deny {rule})"
                    for rule, hosts in cases.items() for host in hosts] * 2
        self.assertEqual(self.denials(proxy, len(expected)), expected)
        for method in ("GET", "CONNECT"):
            with self.subTest(method), Client(proxy.port) as c:
                start = time.time()
                tunnel = method == "CONNECT"
                c.send(through_tunnel("mixed.test", FAR.port) if tunnel else get(FAR.port, host="mixed.test"))
                if tunnel:
                    self.assertEqual(c.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
                self.assertEqual(c.response()[1], b"ok")
                self.assertLess(time.time() - start, 0.5)
        self.assertEqual(origin.connections, 0)
        self.assertEqual(len(self.denials(proxy, 0)), len(expected))

        def to_new_address():  # 192.0.2.77, where nothing listens
            with Client(proxy.port) as c:
                return answer(c, get(nothing_there, host="192.0.2.77"))

        nothing_there = free_port()
        self.assertEqual(to_new_address(), BAD_GATEWAY)  # no route yet
        run("ip addr add 192.0.2.77 dev lo")
        self.addCleanup(run, "ip addr del 192.0.2.77/32 dev lo")
        self.assertTrue(wait_until(lambda: to_new_address() == FORBIDDEN, 3), "a new address is not this host's")
        self.assertEqual(self.denials(proxy, len(expected) + 1)[-1], "Denied: 192.0.2.77 (deny this-host)")

    def test_connect_goes_only_to_the_listed_ports_and_other_methods_to_any(self):  # ranges and single ports
        listed, other = self.origin(echo, "127.0.0.1"), self.origin(address="127.0.0.1")
        proxy = self.start(f"connect-ports 1-3 {listed.port}\n")
        with Client(proxy.port) as c:
            c.tunnel(listed.port, then=b"ping")
            self.assertEqual(c.exact(4), b"ping")
        with Client(proxy.port) as c:
            c.send(head("CONNECT", f"127.0.0.1:{other.port}"))
            self.assertEqual(c.rest(), FORBIDDEN_CLOSING)
        with Client(proxy.port) as c:
            self.assertEqual(c.ask(get(other.port)), b"ok")
        self.assertEqual((listed.connections, other.connections), (1, 1))
        self.assertEqual(self.denials(proxy, 1), ["Denied: 127.0.0.1 (connect-ports)"])

    def test_on_all_adapters_this_host_is_denied_by_default_and_a_policy_file_replaces_the_default(self):
        """Catches a default missing, lost at a reload, applied on loopback only too, kept beside a policy file,
        or denying origins elsewhere."""
        local = self.origin(address="127.0.0.1")
        proxy = self.start(None, "-b", temp_file(""))  # a list, whose size line says when a reload is done
        for reloaded in (False, True):
            if reloaded:
                proxy.proc.send_signal(signal.SIGHUP)
                self.assertTrue(wait_until(lambda: proxy.count("0 domains blacklisted") == 2, 5))
            with Client(proxy.port) as c:
                for host in ("127.0.0.1", "192.0.2.50"):  # nothing listens on the second: without a denial, 502
                    self.assertEqual(answer(c, get(local.port, host=host)), FORBIDDEN, host)
                self.assertEqual(c.ask(get(FAR.port, host=FAR_ADDRESS)), b"ok")
        self.assertEqual(self.denials(proxy, 4),
                         ["Denied: 127.0.0.1 (deny loopback)", "Denied: 192.0.2.50 (deny this-host)"] * 2)
        for other in (self.start(all_adapters=False), self.start("")):
            with Client(other.port) as c:
                self.assertEqual(c.ask(get(local.port)), b"ok")
        self.assertEqual(other.output()[0], "0 policy rules")
        self.assertEqual(local.connections, 2)

    def test_a_bad_policy_stops_the_start_and_a_reload_keeps_the_list_and_policy_until_a_good_one_comes(self):
        """Catches a policy read in part (at start-up or at a reload), a proxy that starts anyway, a reload that
        swaps the list in without its policy, and an origin connection kept under the old policy taken again
        without a check."""
        policy, bad = temp_file("deny 127.0.0.2\n"), temp_file("# the proxy's own policy\nallow x.test\nalow y.test\n")
        started = subprocess.run([PROXY, str(-free_port()), "-p", policy, "-p", bad], capture_output=True, text=True,
                                 timeout=5)
        self.assertEqual((started.returncode, started.stdout, started.stderr),
                         (0, f"1 policy rules\nError! Policy not loaded: {bad} line 3: unknown rule: alow.\n", ""))
        origin, listed = self.origin(address="127.0.0.1"), temp_file("old.test\n")
        proxy = self.start(None, "-b", listed, "-p", policy)
        with open(listed, "w") as f:  # neither may come into force: the new list and the good line of the policy
            f.write("127.0.0.1\n")
        with open(policy, "w") as f:
            f.write("deny 127.0.0.1\nconnect-ports 0\n")
        since = len(proxy.output())
        proxy.proc.send_signal(signal.SIGHUP)
        failed = f"Error! Policy not reloaded: {policy} line 2: not a port or a range of ports: 0."
        proxy.wait_for_line(failed)
        self.assertEqual(proxy.output()[since:], [failed])
        with Client(proxy.port) as c:
            self.assertEqual(c.ask(get(origin.port)), b"ok")
            for host, refusal in (("127.0.0.2", FORBIDDEN), ("old.test", NOT_FOUND)):
                self.assertEqual(answer(c, get(origin.port, host=host)), refusal, host)
            # A good one: the origin connection kept from the first request is checked again when it is taken.
            for path, text in ((listed, "old.test\n"), (policy, "deny 127.0.0.1\n")):
                with open(path, "w") as f:
                    f.write(text)
            since = len(proxy.output())
            proxy.proc.send_signal(signal.SIGHUP)
            sizes = lambda: [l for l in proxy.output()[since:] if l.endswith((" blacklisted", " policy rules"))]
            self.assertTrue(wait_until(lambda: sizes() == ["1 domains blacklisted", "1 policy rules"], 5), sizes())
            self.assertEqual(answer(c, get(origin.port)), FORBIDDEN)
        self.assertEqual(origin.connections, 1)
        self.assertEqual(self.denials(proxy, 2),
                         ["Denied: 127.0.0.2 (deny 127.0.0.2)", "Denied: 127.0.0.1 (deny 127.0.0.1)"])

    def test_requests_during_reloads_see_one_whole_list_and_policy(self):
        """Two generations: A blocks a.test and denies b.test, B blocks b.test and denies a.test. A request that
        met one's list and the other's policy would get through to the origin; clients on keep-alive
        connections ask for both while SIGHUP flips the generations 20 times."""
        origin = self.origin(address="127.0.0.1")
        generations = (("a.test\n", "deny b.test\n"), ("b.test\n", "deny a.test\n"))
        files = temp_file(generations[0][0]), temp_file(generations[0][1])
        proxy = self.start(None, "-b", files[0], "-p", files[1], all_adapters=False)
        seen, failures, stop = set(), [], threading.Event()

        def ask():
            try:
                with Client(proxy.port) as c:
                    while not stop.is_set():
                        seen.add(("a", answer(c, get(origin.port, host="a.test"))))
                        seen.add(("b", answer(c, get(origin.port, host="b.test"))))
            except Exception as e:
                failures.append(e)

        threads = [threading.Thread(target=ask) for _ in range(3)]
        for thread in threads:
            thread.start()
        for flip in range(1, 21):
            for path, text in zip(files, generations[flip % 2]):
                os.replace(temp_file(text), path)  # whole: a reload never reads half a file
            count = proxy.count(" policy rules")
            proxy.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: proxy.count(" policy rules") > count, 5))
            time.sleep(0.02)
        stop.set()
        for thread in threads:
            thread.join(10)
        self.assertEqual(failures, [])
        self.assertEqual(seen, {("a", NOT_FOUND), ("a", FORBIDDEN), ("b", NOT_FOUND), ("b", FORBIDDEN)})
        self.assertEqual(origin.connections, 0)
