"""SIGHUP reloads the blacklist files in place: requests parsed afterwards use the new list, open
connections are not touched, and a file that cannot be read keeps the previous list in force."""

import os, signal, unittest

from harness import NOT_FOUND, TUNNEL_OPEN, ProxyTest, echo, temp_file, wait_until


class Reload(ProxyTest):
    first, second = temp_file("127.0.0.1\nold.test\n"), temp_file("other.test\n")
    options = ("-b", first, "-b", second)

    def reload(self, *lines):
        """Sends SIGHUP and waits until the proxy has printed lines, in this order (others may come between)."""
        start = len(self.proxy.output())
        self.proxy.proc.send_signal(signal.SIGHUP)

        def printed():
            rest = iter(self.proxy.output()[start:])
            return all(line in rest for line in lines)  # a subsequence

        self.assertTrue(wait_until(printed, 5), self.proxy.output()[start:])

    def test_new_lists_take_effect_between_requests_and_a_broken_file_keeps_the_old_one(self):
        origin, tunnel_origin = self.origin(), self.origin(echo)
        get = lambda host: b"GET http://%s:%d/ HTTP/1.1\r\nHost: h\r\n\r\n" % (host, origin.port)
        with self.client() as c, self.client() as tunnel:
            tunnel.send(b"CONNECT localhost:%d HTTP/1.1\r\n\r\n" % tunnel_origin.port)
            self.assertEqual(tunnel.exact(len(TUNNEL_OPEN)), TUNNEL_OPEN)
            self.assertEqual(c.ask(get(b"127.0.0.1")), b"")  # 404: blocked
            with open(self.first, "w") as f:
                f.write("new.test\n")
            self.reload("1 domains blacklisted", "2 domains blacklisted")
            # The same keep-alive connection, and the tunnel opened before the reload, go on.
            self.assertEqual(c.ask(get(b"127.0.0.1")), b"ok")
            c.send(get(b"x.new.test"))
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)
            tunnel.send(b"still open")
            self.assertEqual(tunnel.exact(10), b"still open")

            os.rename(self.second, self.second + ".gone")
            self.addCleanup(os.rename, self.second + ".gone", self.second)
            self.reload(f"Error! Blacklist not reloaded: cannot read {self.second} (No such file or directory).")
            c.send(get(b"new.test"))
            self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND)  # the previous list is still in force
            self.assertEqual(c.ask(get(b"127.0.0.1")), b"ok")
        self.proxy.wait_for_line("Blocked: x.new.test (new.test)")


if __name__ == "__main__":
    unittest.main()
