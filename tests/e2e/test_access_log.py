"""The access log (-l) as its reader meets it: one JSON line for each exchange, tunnel and refusal once it has
ended, its fields in their order and types, with the bytes each way that the clients counted themselves; a log
reopened by its name on SIGUSR1 while traffic goes on; a reader that stops, which costs whole lines and never
traffic. And the proxy's own pages, /healthz and /metrics: for loopback and admitted clients only, behind the
credentials, readable by promtool, counting what the traffic did, and never logged.

Where this process may make a network namespace of its own (root), the whole test runs in one, where lo also has
192.0.2.50 and 198.51.100.50, addresses of this host that are not loopback ones: clients from outside."""

import base64, ctypes, datetime, json, os, re, select, signal, subprocess, threading, unittest

from harness import (AUTH_REQUIRED, BAD_TARGET, MiB, NOT_FOUND, TOO_LARGE, TUNNEL_OPEN, Client, Proxy, ProxyTest,
                     Reader, answering_head, echo, free_port, get, head, reset, response, serving, stop_cleanly,
                     temp_file, wait_until)

OUTCOMES = ["ok", "blocked", "denied", "auth", "bad_request", "loop", "unreachable", "timeout", "client_gone",
            "origin_gone", "too_large"]
FIELDS = ["time", "client", "user", "method", "target", "host", "port", "status", "outcome", "upstream", "pooled",
          "bytes_in", "bytes_out", "connect_ms", "duration_ms"]
STRING, NUMBER = {str}, {int}  # exact types: a bool is no number here, nor a number a bool
TYPES = dict(time=STRING, client=STRING, user=STRING, method=STRING, target=STRING, host=STRING, port=NUMBER,
             status=NUMBER, outcome=STRING, upstream=STRING, pooled={bool}, bytes_in=NUMBER, bytes_out=NUMBER,
             connect_ms=NUMBER, duration_ms=NUMBER)
NULLABLE = {"user", "method", "target", "host", "port", "status", "upstream", "connect_ms"}
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")
OUTSIDE, FARTHER = "192.0.2.50", "198.51.100.50"  # on lo, in this test's namespace
NAMESPACE = False
USER = "alice:s3cret"
AUTH = "Proxy-Authorization: Basic " + base64.b64encode(USER.encode()).decode()


def setUpModule():
    global NAMESPACE
    if os.geteuid() == 0 and ctypes.CDLL(None, use_errno=True).unshare(0x40000000) == 0:  # CLONE_NEWNET
        for command in ("ip link set lo up", f"ip addr add {OUTSIDE}/32 dev lo", f"ip addr add {FARTHER}/32 dev lo"):
            subprocess.run(command.split(), check=True, capture_output=True, timeout=10)
        NAMESPACE = True


class Milliseconds:  # equal to any whole number of milliseconds a test can take
    def __eq__(self, other):
        return type(other) is int and 0 <= other < 60000

    def __repr__(self):
        return "<ms>"


MS = Milliseconds()


def expected(client, method, target, status, outcome, upstream=None, pooled=False, user=None, host="127.0.0.1",
             port=None):
    """A line's fields but its time, for a request of client, whose counts of bytes it sent and received are the
    line's; port: the target's (by default upstream's)."""
    port = port or (int(upstream.rsplit(":", 1)[1]) if upstream else None)
    address = f"[{client.address}]" if ":" in client.address else client.address
    return {"client": f"{address}:{client.port}", "user": user, "method": method, "target": target,
            "host": host if port else None, "port": port, "status": status, "outcome": outcome, "upstream": upstream,
            "pooled": pooled, "bytes_in": client.sent, "bytes_out": client.received,
            "connect_ms": 0 if pooled else MS if upstream else None, "duration_ms": MS}


def answer(client, request):  # sends request and reads its answer (to the close when it has no length)
    client.send(request)
    return b"".join(client.response())


def metrics(page):  # the samples of a Prometheus text page: {'name{labels}': value}
    return {name: float(value) for line in page.decode().splitlines() if line and not line.startswith("#")
            for name, value in [line.rsplit(" ", 1)]}


class Logged(ProxyTest):
    """A proxy with an access log of its own, then `options`."""

    maxDiff = None

    def setUp(self):
        self.log, self.started = temp_file(""), datetime.datetime.now(datetime.timezone.utc)
        self.options = ("-l", self.log, *type(self).options)
        super().setUp()

    def lines(self, count, path=None):
        """The log's lines once there are count of them (or 5 s have passed), each checked for its fields' order,
        types and time, without the time."""
        def read():
            if not os.path.exists(path or self.log):
                return []
            with open(path or self.log, "rb") as f:
                return f.read().split(b"\n")[:-1]
        wait_until(lambda: len(read()) >= count, 5)
        return [self.fields(line) for line in read()]

    def metric(self, name):  # a sample of the metrics page, for a loopback client
        with self.client() as c:
            return metrics(answer(c, head("GET", "/metrics")).split(b"\r\n\r\n", 1)[1]).get(name)

    def fields(self, line):
        pairs = json.loads(line, object_pairs_hook=list)
        self.assertEqual([key for key, _ in pairs], FIELDS, line)
        fields = dict(pairs)
        for key, value in fields.items():
            self.assertIn(type(value), TYPES[key] | ({type(None)} if key in NULLABLE else set()), (key, line))
        self.assertRegex(fields["time"], TIME)
        when = datetime.datetime.strptime(fields.pop("time"), "%Y-%m-%dT%H:%M:%S.%fZ")
        now = datetime.datetime.now(datetime.timezone.utc)
        self.assertTrue(self.started - datetime.timedelta(seconds=1) <= when.replace(tzinfo=datetime.timezone.utc)
                        <= now, f"{when} is not UTC between {self.started} and {now}")
        return fields


class Exchanges(Logged):
    options = ("-b", temp_file("blocked.test\n"), "-p", temp_file("deny 127.0.0.2\n"))

    def test_forwarded_exchanges_and_a_tunnel_are_logged_once_each_with_the_bytes_either_way(self):
        """A fresh and a pooled exchange (the origin's status, whatever it is), a body counted in, a client over
        IPv6, and a tunnel's bytes both ways once it ends with its client: catches lines written twice, too early
        or not at all, and counts or connection facts of the wrong request or direction."""
        origin = self.origin(serving(lambda request: b"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope"
                                     if b" /missing " in request else response(b"fine")))
        upstream, target = f"127.0.0.1:{origin.port}", f"http://127.0.0.1:{origin.port}"
        logged = []
        for request, status, pooled in ((get(origin.port, "/fresh"), 200, False),
                                        (get(origin.port, "/missing"), 404, True),
                                        (head("POST", target + "/form", "Content-Length: 5") + b"x=1&y", 200, True)):
            with Client(self.proxy.port, address="::1" if pooled and status == 200 else "127.0.0.1") as c:
                answer(c, request)
            method, path = request.split(b" ")[:2]
            logged.append(expected(c, method.decode(), path.decode(), status, "ok", upstream, pooled))
        echoing = self.origin(echo)
        with self.client() as c:
            c.tunnel(echoing.port, then=b"ping" * 1000)
            self.assertEqual(c.exact(4000), b"ping" * 1000)
            self.assertEqual(len(self.lines(3)), 3, "a tunnel's line before its end")
        logged.append(expected(c, "CONNECT", f"127.0.0.1:{echoing.port}", 200, "ok", f"127.0.0.1:{echoing.port}"))
        self.assertEqual(self.lines(4), logged)
        self.assertEqual(c.received, len(TUNNEL_OPEN) + 4000)

    def test_refusals_are_logged_with_the_answer_the_client_got(self):
        """Blocked, denied, a loop, an unreachable origin and a target that is no URL: each its status, outcome
        and counts, without an upstream."""
        unused, logged = free_port(), []
        for request, status, outcome, host, port in (
                (head("GET", "http://Blocked.TEST./x"), 404, "blocked", "blocked.test", 80),
                (get(unused, "/d", host="127.0.0.2"), 403, "denied", "127.0.0.2", unused),
                (get(self.proxy.port, "/loop"), 508, "loop", "127.0.0.1", self.proxy.port),
                (get(unused, "/gone"), 502, "unreachable", "127.0.0.1", unused),
                (head("GET", "/path"), 400, "bad_request", None, None)):
            with self.client() as c:
                self.assertEqual(answer(c, request)[9:12], str(status).encode())
            logged.append(expected(c, "GET", request.split(b" ")[1].decode(), status, outcome, host=host, port=port))
        self.assertEqual(self.lines(5), logged)

    def test_a_head_over_the_limit_is_logged_without_method_or_target_and_with_the_bytes_read(self):
        request = b"GET http://127.0.0.1/ HTTP/1.1\r\nX-Big: " + b"a" * MiB + b"\r\n\r\n"
        with self.client() as c:
            try:
                c.send(request)
            except OSError:
                pass  # the proxy answered and closed before taking it all
            self.assertEqual(c.rest(), TOO_LARGE)
        [line] = self.lines(1)
        self.assertEqual(line, dict(expected(c, None, None, 431, "too_large"), bytes_in=line["bytes_in"]))
        self.assertTrue(MiB < line["bytes_in"] <= len(request), line["bytes_in"])

    def test_a_client_or_an_origin_leaving_mid_answer_is_logged_with_what_went_out(self):
        """client_gone while the origin still sends, and once the proxy has all of the answer but a client with a
        small socket has not: the bytes out cover what the client read, not the whole answer. origin_gone: the
        origin's status and the part of its answer the client got."""
        size = 4 * MiB  # the proxy holds that much for a client that is behind

        def sending(sock, origin):  # an answer of `size`, whole or (for /slow) its first KiB, then no more
            slow = b" /slow " in Reader(sock).until(b"\r\n\r\n")
            sock.sendall(answering_head(size) + b"x" * (1024 if slow else size))
            while sock.recv(1024):
                pass

        def cut_short(sock, origin):
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(answering_head(1000) + b"x" * 100)

        sending, cut_short = self.origin(sending), self.origin(cut_short)
        logged = []
        for path in ("/slow", "/held"):
            with Client(self.proxy.port, receive_buffer=4096) as left:
                left.send(get(sending.port, path))
                left.exact(len(answering_head(size)) + 1024)
                # /held: the answer is through, its origin connection pooled
                self.assertTrue(path == "/slow" or wait_until(lambda: self.metric(
                    'proxy_origin_connections{state="pooled"}') == 1, 5))
                reset(left.sock)  # gone: a close would only say it sends no more
            [line] = self.lines(len(logged) + 1)[len(logged):]
            self.assertTrue(left.received <= line["bytes_out"] < size, (path, line["bytes_out"]))
            logged.append(expected(left, "GET", f"http://127.0.0.1:{sending.port}{path}", 200, "client_gone",
                                   f"127.0.0.1:{sending.port}") | {"bytes_out": line["bytes_out"]})
        with self.client() as cut:
            cut.send(get(cut_short.port, "/cut"))
            self.assertEqual(cut.rest(), answering_head(1000) + b"x" * 100)
        logged.append(expected(cut, "GET", f"http://127.0.0.1:{cut_short.port}/cut", 200, "origin_gone",
                               f"127.0.0.1:{cut_short.port}"))
        self.assertEqual(self.lines(3), logged)


class Credentials(Logged):
    options = ("-a", USER)

    def test_refused_credentials_log_no_user_an_accepted_one_its_name_and_the_pages_ask_for_them_too(self):
        """Also: the pages' answers, 407 or not, are never logged."""
        origin = self.origin()
        with self.client() as refused:
            self.assertEqual(answer(refused, get(origin.port, "/")), AUTH_REQUIRED)
        with self.client() as pages:
            for page in ("/healthz", "/metrics"):
                self.assertEqual(answer(pages, head("GET", page)), AUTH_REQUIRED)
                self.assertIn(b"HTTP/1.1 200 OK\r\n", answer(pages, head("GET", page, AUTH)))
        with self.client() as accepted:  # last: a page's line would come before its own
            self.assertEqual(answer(accepted, get(origin.port, "/", AUTH)), response())
        target, upstream = f"http://127.0.0.1:{origin.port}/", f"127.0.0.1:{origin.port}"
        self.assertEqual(self.lines(2), [expected(refused, "GET", target, 407, "auth", port=origin.port),
                                         expected(accepted, "GET", target, 200, "ok", upstream, user="alice")])


class Rotation(Logged):
    def test_sigusr1_moves_the_log_to_a_new_file_by_its_name_while_requests_go_on(self):
        """The file renamed, then SIGUSR1 while a client keeps asking: every request in exactly one of the two
        files, each line whole, the last ones in the new file, which is made with mode 0640. Catches a reopen
        that loses, repeats or tears lines, or never happens."""
        origin, done, enough = self.origin(), [], threading.Event()

        def traffic():  # until the new file has had lines for a while (at most 5000 requests)
            with self.client() as c:
                while len(done) < 5000 and not enough.is_set():
                    self.assertEqual(answer(c, get(origin.port, f"/{len(done)}")), response())
                    done.append(len(done))

        thread = threading.Thread(target=traffic)
        thread.start()
        self.addCleanup(thread.join, 30)
        self.assertTrue(wait_until(lambda: len(done) > 100, 10))
        os.rename(self.log, self.log + ".1")
        self.proxy.proc.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: len(self.lines(0)) > 100, 10), "too few lines in the new file")
        enough.set()
        thread.join(30)
        count = len(done)
        wait_until(lambda: len(self.lines(0, self.log + ".1") + self.lines(0)) >= count, 5)
        old, new = self.lines(0, self.log + ".1"), self.lines(0)
        self.assertTrue(old and new, "no lines in one of the files")
        self.assertEqual(sorted(int(line["target"].rsplit("/", 1)[1]) for line in old + new), list(range(count)))
        self.assertEqual(new[-1]["target"], f"http://127.0.0.1:{origin.port}/{count - 1}")
        self.assertEqual(os.stat(self.log).st_mode & 0o777, 0o640)


class StalledReader(unittest.TestCase):
    def test_a_reader_that_stops_costs_whole_lines_and_never_holds_up_requests(self):
        """The log is a FIFO whose reader stops after opening it: more requests than the 4 MiB queue holds lines
        for are all answered; once it reads again, the lines it gets are whole and in order, and a line on
        standard output tells how many were dropped, which with the ones read are all the requests."""
        fifo = os.path.join(os.path.dirname(temp_file("")), "access.fifo")
        os.mkfifo(fifo)
        self.addCleanup(os.unlink, fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        proxy = Proxy("-l", fifo, "-b", temp_file("blocked.test\n"))
        self.addCleanup(stop_cleanly, self, proxy)
        long_path, count = "/" + "a" * 2000, 3000  # lines of 2 KiB: 3000 are more than 4 MiB
        with Client(proxy.port) as c:
            for i in range(count):
                self.assertEqual(answer(c, head("GET", f"http://blocked.test{long_path}?{i}")), NOT_FOUND)
            lines, buffered = [], b""

            def drain(quiet, enough=lambda: False):  # reads the FIFO until enough() or `quiet` s without a byte
                nonlocal buffered
                while not enough() and select.select([reader], [], [], quiet)[0]:
                    *complete, buffered = (buffered + os.read(reader, 1 << 20)).split(b"\n")
                    lines.extend(json.loads(line) for line in complete)

            drain(0.5)  # until the queue is empty
            self.assertEqual(answer(c, head("GET", "http://blocked.test/last")), NOT_FOUND)
            drain(10, lambda: lines and lines[-1]["target"] == "http://blocked.test/last")
        told = re.compile(r"Warning! (\d+) access log lines dropped: the access log was not written\.")
        dropped = int(told.fullmatch(proxy.wait_for_line(told.fullmatch))[1])
        self.assertGreater(dropped, 0)
        numbers = [int(line["target"].rsplit("?", 1)[1]) for line in lines[:-1]]
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertEqual((len(numbers) + dropped, lines[-1]["target"]), (count, "http://blocked.test/last"))
        self.assertTrue(all(line["target"] == f"http://blocked.test{long_path}?{n}"
                            for line, n in zip(lines, numbers)))


class Pages(Logged):
    options = ("-b", temp_file("blocked.test\n"))

    def test_loopback_clients_get_health_and_metrics_which_count_the_traffic_and_are_not_logged(self):
        """/healthz is 200 ok, over IPv4 and IPv6; /metrics passes promtool and counts requests by outcome, bytes
        each way and the pool's hits and misses of the traffic, not of the pages, which are not logged either."""
        origin = self.origin()
        with self.client() as pages:
            for client in (pages, Client(self.proxy.port, address="::1")):
                healthy = answer(client, head("GET", "/healthz"))
                self.assertTrue(healthy.startswith(b"HTTP/1.1 200 OK\r\n") and healthy.endswith(b"\r\n\r\nok"))
            client.close()
            self.assertIn(b"\r\n\r\n# HELP ", answer(pages, head("GET", "/metrics")))
            with self.client() as c:
                for request in (get(origin.port), get(origin.port), head("GET", "http://blocked.test/")):
                    answer(c, request)
            pages.send(head("GET", "/metrics"))
            page = pages.response()[1]
        check = subprocess.run(["promtool", "check", "metrics"], input=page, capture_output=True, timeout=30)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, b""))
        samples = metrics(page)
        by_outcome = {outcome: samples.get(f'proxy_requests_total{{outcome="{outcome}"}}') for outcome in OUTCOMES}
        self.assertEqual(by_outcome, dict.fromkeys(OUTCOMES, 0) | {"ok": 2, "blocked": 1})
        self.assertEqual([samples[name] for name in ("proxy_received_bytes_total", "proxy_sent_bytes_total",
                                                     "proxy_pool_hits_total", "proxy_pool_misses_total")],
                         [c.sent, c.received, 1, 1])
        self.assertEqual([line["outcome"] for line in self.lines(3)], ["ok", "ok", "blocked"])


class Admission(unittest.TestCase):
    def test_clients_neither_on_loopback_nor_admitted_get_the_usual_400(self):
        """On all adapters, without a policy: a client from another address of this host gets 400, and the
        connection closes; with a clients rule, its clients get the pages, and others still the 400, not a 403."""
        if not NAMESPACE:
            self.skipTest("needs root and network namespaces")
        for policy, inside, outside in ((None, None, OUTSIDE), ("clients 192.0.2.0/24\n", OUTSIDE, FARTHER)):
            proxy = Proxy(*(("-p", temp_file(policy)) if policy else ()), all_adapters=True)
            self.addCleanup(stop_cleanly, self, proxy)
            for page in ("/healthz", "/metrics"):
                with self.subTest(policy=policy, page=page):
                    with Client(proxy.port, address=outside, source=outside) as c:
                        self.assertEqual(answer(c, head("GET", page)), BAD_TARGET)
                    if inside:
                        with Client(proxy.port, address=inside, source=inside) as c:
                            self.assertIn(b"HTTP/1.1 200 OK\r\n", answer(c, head("GET", page)))

    def test_a_loopback_client_outside_the_clients_ranges_still_gets_the_pages(self):
        proxy = Proxy("-p", temp_file("clients 192.0.2.0/24\n"))
        self.addCleanup(stop_cleanly, self, proxy)
        with Client(proxy.port) as c:
            self.assertEqual(answer(c, head("GET", "/healthz"))[-4:], b"\r\nok")
