"""The program's spine: usage text, start-up lines, blacklist size lines,
shutdown on signals, the connection count and idle time-outs."""

import os
import signal
import socket
import tempfile
import time
import unittest

from harness import Proxy, connect, free_port, run_proxy

USAGE = (
    "USAGE:\n\tproxy [port] -a [username:password] -b [blacklist]\nWHERE:\n"
    "\t-[port] is the port (negative = all adapters, positive = localhost only)\n"
    "\t-if -a is set, [username:password] are the credentials for basic proxy authentication\n"
    "\t-if -b is set, [blacklist] is a text file containing a list of domains to block, one per line\n"
)


def write_file(data):
    f = tempfile.NamedTemporaryFile(delete=False)
    f.write(data)
    f.close()
    return f.name


class CommandLine(unittest.TestCase):
    def test_no_arguments_print_the_usage_text_and_a_blank_line(self):
        status, out = run_proxy()
        self.assertEqual(status, 0)
        self.assertEqual(out, USAGE + "\n")

    def test_positive_port_listens_on_loopback_only(self):
        with Proxy() as p:
            self.assertEqual(p.output()[0], f"Binding to port {p.port} on localhost only")
            connect(p.port).close()
            listening = open("/proc/net/tcp").read()
            self.assertIn(f"0100007F:{p.port:04X}", listening)

    def test_negative_port_lists_the_ipv4_addresses_and_listens_on_all(self):
        port = free_port()
        with Proxy(-port, port=port) as p:
            p.wait_for_line("127.0.0.1")
            lines = p.output()
            self.assertEqual(lines[0], f"Binding to port {port} on all adapters:")
            self.assertIn("127.0.0.1", lines[1:])
            connect(port).close()
            self.assertIn(f"00000000:{port:04X}", open("/proc/net/tcp").read())

    def test_port_in_use_prints_the_bind_failure_and_exits_0(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            status, out = run_proxy(port)
        self.assertEqual(status, 0)
        self.assertEqual(
            out,
            f"Binding to port {port} on localhost only\n"
            "bind() failed: 98 Address already in use\n"
            "Check that the port isn't already taken.\n"
            "This can be done with 'netstat -an' on windows/mac/linux.\n",
        )

    def test_blacklist_size_lines(self):
        dup = write_file(b"a.com\nb.com\na.com\n")
        crlf = write_file(b"  c.com\t\r\nd.com\r\ne.com")
        many = write_file("".join(f"host{i}.example\n" for i in range(1234)).encode())
        missing = "/nonexistent/blacklist"
        try:
            port = free_port()
            with Proxy(port, "-b", dup, "-b", crlf, "-b", missing, port=port) as p:
                out = p.output()
            self.assertEqual(out[:3], ["2 domains blacklisted", "5 domains blacklisted", "5 domains blacklisted"])
            port = free_port()
            with Proxy(port, "-b", many, port=port) as p:
                self.assertEqual(p.output()[0], "1,234 domains blacklisted")
            port = free_port()
            with Proxy(port, "-b", missing, port=port) as p:
                self.assertEqual(p.output()[0], "0 domains blacklisted")
        finally:
            for f in (dup, crlf, many):
                os.unlink(f)

    def test_options_without_values_and_unknown_arguments_are_skipped(self):
        port = free_port()
        with Proxy(port, "--what", "-b", port=port) as p:
            self.assertEqual(p.output()[0], f"Binding to port {port} on localhost only")


class Lifecycle(unittest.TestCase):
    def test_sigint_and_sigterm_shut_down_with_status_0(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            p = Proxy()
            client = connect(p.port)
            p.wait_for_line(lambda l: l.endswith(" connections"))
            start = time.time()
            self.assertEqual(p.stop(sig), 0)
            self.assertLess(time.time() - start, 2)
            self.assertEqual(p.output()[-1], "Shutting down...")
            client.settimeout(2)
            self.assertEqual(client.recv(1), b"")  # its connection was closed
            client.close()

    def test_first_turn_reports_zero_connections(self):
        with Proxy() as p:
            p.wait_for_line("0 connections")

    def test_idle_client_is_timed_out_after_more_than_10_seconds(self):
        with Proxy() as p:
            client = connect(p.port)
            start = time.time()
            line = p.wait_for_line(lambda l: l.endswith(" has timed out."), 15)
            self.assertGreater(time.time() - start, 9.5)
            self.assertTrue(line.split()[0].isdigit())
            client.settimeout(2)
            self.assertEqual(client.recv(1), b"")
            client.close()


if __name__ == "__main__":
    unittest.main()
