"""The program: usage text, start-up lines, blacklist sizes, signals, the connection count, idle time-outs."""

import pathlib, re, signal, socket, subprocess, time, unittest

from harness import PROXY, Proxy, backlog, connect, temp_file, wait_until

USAGE = (
    "USAGE:\n\tproxy [port] -a [username:password] -b [blacklist]\nWHERE:\n"
    "\t-[port] is the port (negative = all adapters, positive = localhost only)\n"
    "\t-if -a is set, [username:password] are the credentials for basic proxy authentication\n"
    "\t-if -b is set, [blacklist] is a text file containing a list of domains to block, one per line\n"
)


def run_proxy(*args):  # to completion: (status, standard output)
    p = subprocess.run([PROXY, *map(str, args)], stdout=subprocess.PIPE, timeout=5)
    return p.returncode, p.stdout.decode()


class Program(unittest.TestCase):
    def test_no_arguments_print_the_usage_text_and_a_blank_line(self):
        self.assertEqual(run_proxy(), (0, USAGE + "\n"))

    def test_the_manual_page_and_the_readme_name_the_same_answers_and_warnings(self):
        """Catches an answer or a warning documented in one place and not the other."""
        root = pathlib.Path(__file__).resolve().parents[2]
        manual = re.sub(r"\\f[BIRP]|\\", "", (root / "doc/proxy.1").read_text())  # roff fonts and escapes
        readme = (root / "README.md").read_text()
        statuses = lambda text: set(re.findall(r"HTTP/1\.1 [1-5]\d\d [A-Z][A-Za-z ]+?(?= *[`\n]|$)", text, re.M))
        self.assertEqual(statuses(manual), statuses(readme))
        for text in ("Warning! Request exceeds max length of 1048576.", "log lines dropped: standard output was not",
                     "Error! Blacklist not reloaded: cannot read", "No addresses worked for host",
                     "Ambiguous message framing", "Malformed request head", "Unable to connect"):
            self.assertIn(text, manual)
            self.assertIn(text, readme)

    def test_start_up_lines_and_listening_address_for_each_port_sign(self):
        """Negative: all adapters, addresses listed. Unknown options and a -b without value are skipped."""
        with Proxy("--what", "-b") as p:
            self.assertEqual(p.output()[0], f"Binding to port {p.port} on localhost only")
            self.assertIn(f"0100007F:{p.port:04X}", pathlib.Path("/proc/net/tcp").read_text())
        with Proxy(all_adapters=True) as p:
            p.wait_for_line("127.0.0.1")
            self.assertEqual(p.output()[0], f"Binding to port {p.port} on all adapters:")
            self.assertIn(f"00000000:{p.port:04X}", pathlib.Path("/proc/net/tcp").read_text())

    def test_port_in_use_prints_the_bind_failure_and_exits_0(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            self.assertEqual(run_proxy(port), (0, (
                f"Binding to port {port} on localhost only\n"
                "bind() failed: 98 Address already in use\n"
                "Check that the port isn't already taken.\n"
                "This can be done with 'netstat -an' on windows/mac/linux.\n")))

    def test_blacklist_size_lines(self):
        """Duplicates once, CRLF and blanks trimmed, a missing file adds nothing, -b adds up, 1,000s."""
        dup = temp_file("a.com\nb.com\na.com\n")
        crlf = temp_file("  c.com\t\r\nd.com\r\ne.com")
        many = temp_file("".join(f"host{i}.example\n" for i in range(1234)))
        with Proxy("-b", dup, "-b", crlf, "-b", "/nonexistent/blacklist", "-b", many) as p:
            self.assertEqual(p.output()[:4], [f"{n} domains blacklisted" for n in ("2", "5", "5", "1,239")])

    def test_sigint_and_sigterm_shut_down_with_status_0_and_close_clients(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            p = Proxy()
            p.wait_for_line("0 connections")  # the first count line
            with connect(p.port, 2) as client:
                # Accepted, not still in the backlog (closing the listener would reset it there).
                self.assertTrue(wait_until(lambda: backlog(p.port) == 0, 2))
                start = time.time()
                self.assertEqual(p.stop(sig), 0)
                self.assertLess(time.time() - start, 2)
                self.assertEqual(p.output()[-1], "Shutting down...")
                self.assertEqual(client.recv(1), b"")

    def test_idle_client_is_timed_out_after_more_than_10_seconds(self):
        with Proxy() as p, connect(p.port, 2) as client:
            start = time.time()
            line = p.wait_for_line(lambda l: l.endswith(" has timed out."), 15)
            self.assertGreater(time.time() - start, 9.5)
            self.assertTrue(line.split()[0].isdigit(), line)
            self.assertEqual(client.recv(1), b"")


if __name__ == "__main__":
    unittest.main()
