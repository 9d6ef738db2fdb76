"""The program: usage text, start-up lines, blacklist sizes, signals, and a log reader that stops reading:
it never holds up the proxy, lines wait in a bounded queue, the ones that find it full are dropped whole
and counted, and once the reader is back the lines go on in order, with one line telling how many were lost."""

import os, pathlib, re, select, signal, socket, subprocess, time, unittest

from harness import PROXY, Client, Origin, Proxy, backlog, connect, free_port, get, temp_file, wait_until

USAGE = (
    "USAGE:\n\tproxy [port] -a [username:password] -b [blacklist]\nWHERE:\n"
    "\t-[port] is the port (negative = all adapters, positive = localhost only)\n"
    "\t-if -a is set, [username:password] are the credentials for basic proxy authentication\n"
    "\t-if -b is set, [blacklist] is a text file containing a list of domains to block, one per line\n\n")
AGENT = b"a" * 2000  # long description lines: a few thousand of them are more than the 4 MiB queue
REQUESTS = 3000
DESCRIBED = re.compile(rb"127\.0\.0\.1:\d+ GET http://127\.0\.0\.1:\d+/(\d+) HTTP/1\.1 \[(a*)\]")
GAP = re.compile(rb"Warning! (\d+) log lines dropped: standard output was not read\.")


def accounted(lines):
    """Requests whose line was read or reported dropped."""
    return sum(1 if DESCRIBED.fullmatch(l) else int(g[1]) if (g := GAP.fullmatch(l)) else 0 for l in lines)


def read_lines(stream, enough, timeout=30):
    """Reads lines from stream until enough(lines read) holds or timeout seconds pass."""
    lines, buffered, end = [], b"", time.time() + timeout
    while not enough(lines) and time.time() < end:
        if select.select([stream], [], [], 0.1)[0]:
            if not (chunk := os.read(stream.fileno(), 1 << 20)):
                break
            *complete, buffered = (buffered + chunk).split(b"\n")
            lines += complete
    return lines


def run_proxy(*args):  # to completion: (status, standard output)
    p = subprocess.run([PROXY, *map(str, args)], stdout=subprocess.PIPE, timeout=5)
    return p.returncode, p.stdout.decode()


class Program(unittest.TestCase):
    def test_no_arguments_print_the_usage_text_and_a_blank_line(self):
        self.assertEqual(run_proxy(), (0, USAGE))

    def test_start_up_lines_listening_address_for_each_port_sign_and_blacklist_sizes(self):
        """Negative: all adapters, addresses listed. Unknown options and a -b without value are skipped.
        Blacklist entries: duplicates once (also in other spellings of one host), CRLF and blanks trimmed, a
        missing file adds nothing and says so, -b adds up, 1,000s."""
        dup, crlf = temp_file("a.com\nb.com\nA.COM.\n"), temp_file("  c.com\t\r\nd.com\r\ne.com")
        many = temp_file("".join(f"host{i}.example\n" for i in range(1234)))
        lists = ("-b", dup, "-b", crlf, "-b", "/nonexistent/blacklist", "-b", many)
        sizes = ["2 domains blacklisted", "5 domains blacklisted", "Error! Blacklist not loaded: cannot read "
                 "/nonexistent/blacklist (No such file or directory).", "5 domains blacklisted",
                 "1,239 domains blacklisted"]
        for options, address, first in ((("--what", "-b"), "0100007F", ["Binding to port {} on localhost only"]),
                                        (lists, "00000000", [*sizes, "Binding to port {} on all adapters:"])):
            with Proxy(*options, all_adapters=options == lists) as p:
                p.wait_for_line(lambda l: "127.0.0.1" in l or "localhost" in l)
                self.assertEqual(p.output()[: len(first)], [line.format(p.port) for line in first])
                self.assertIn(f"{address}:{p.port:04X}", pathlib.Path("/proc/net/tcp").read_text())

    def test_port_in_use_prints_the_bind_failure_and_exits_0(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            self.assertEqual(run_proxy(port), (0, f"Binding to port {port} on localhost only\nbind() failed: 98 "
                                                  "Address already in use\nCheck that the port isn't already taken.\n"
                                                  "This can be done with 'netstat -an' on windows/mac/linux.\n"))

    def test_sigint_and_sigterm_shut_down_with_status_0_and_close_clients(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with Proxy() as p, connect(p.port, 2) as client:
                # Accepted, not still in the backlog (closing the listener would reset it there).
                self.assertTrue(wait_until(lambda: backlog(p.port) == 0, 2))
                start = time.time()
                self.assertEqual(p.stop(sig), 0)
                self.assertLess(time.time() - start, 2)
                self.assertEqual(p.output()[-1], "Shutting down...")
                self.assertEqual(client.recv(1), b"")

    def test_a_paused_reader_loses_whole_lines_only_and_traffic_goes_on(self):
        port = free_port()
        proxy = subprocess.Popen([PROXY, str(port)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proxy.stdout.close)
        self.addCleanup(proxy.wait, 5)
        self.addCleanup(proxy.kill)
        origin = Origin()
        self.addCleanup(origin.close)
        # The first count line: the proxy listens. Then nobody reads standard output: the pipe fills after a
        # few dozen lines. A proxy that wrote its log with blocking calls would freeze there, and every client.
        self.assertTrue(read_lines(proxy.stdout, lambda ls: any(l.endswith(b" connections") for l in ls), 5))
        start = time.time()
        with Client(port, timeout=10) as c:
            for i in range(REQUESTS):
                self.assertEqual(c.ask(get(origin.port, f"/{i}", b"User-Agent: " + AGENT)), b"ok")
        took = time.time() - start
        self.assertLess(took, 60)

        # The reader is back: lines whole and in order; each gap is reported in its place and accounts for
        # the lines missing there, and for the "N connections" lines (one in 5 s) lost with them, which
        # can also make the sum reach REQUESTS a line early: the lines behind are read too.
        lines = read_lines(proxy.stdout, lambda ls: accounted(ls) >= REQUESTS)
        lines += read_lines(proxy.stdout, lambda ls: False, 1)
        expected, gap, dropped, extra = 0, 0, 0, 0
        closing = b"127.0.0.1:1 GET http://127.0.0.1:1/%d HTTP/1.1 [%s]" % (REQUESTS, AGENT)  # ends the last gap
        for line in lines + [closing]:
            if described := DESCRIBED.fullmatch(line):
                self.assertEqual(described[2], AGENT, "a torn line")
                missing = int(described[1]) - expected
                self.assertTrue(0 <= missing <= gap, f"{missing} lines missing before {line[:60]}, {gap} told")
                expected, dropped, extra, gap = int(described[1]) + 1, dropped + missing, extra + gap - missing, 0
            elif told := GAP.fullmatch(line):
                self.assertTrue(expected, "a gap before any line")
                gap += int(told[1])
        self.assertGreater(dropped, 0, "the queue never filled: the test did not test anything")
        self.assertLessEqual(extra, took / 5 + 1, "more lines told dropped than were lost")

        # And the next line comes at once.
        with Client(port) as c:
            self.assertEqual(c.ask(get(origin.port, "/last")), b"ok")
        self.assertTrue(read_lines(proxy.stdout, lambda ls: any(b"/last " in l for l in ls), 5))
        proxy.terminate()
        self.assertEqual(proxy.wait(5), 0)
