"""Proxy authentication (-a) and the domain blacklist (-b): refused requests get the proxy's own answer,
their bodies reach no origin, and the connection stays usable. SIGHUP reloads the blacklist files between
requests, without touching open tunnels; a file that cannot be read keeps the previous list, and a list that is
no regular file (a FIFO) is refused without waiting for it."""

import base64, os, signal

from harness import AUTH_REQUIRED, NOT_FOUND, TMP, ProxyTest, echo, get, head, temp_file, wait_until

CREDENTIALS = "user:pa:ss"


def b64(text):
    return base64.b64encode(text.encode()).decode()


GOOD = f"Proxy-Authorization: Basic {b64(CREDENTIALS)}\r\n"


class Authentication(ProxyTest):
    options = ("-a", CREDENTIALS)

    def test_refused_requests_get_407_no_line_and_no_byte_upstream_then_a_retry_works(self):
        """On one connection with an upstream attached: wrong credentials of every kind and their bodies (sized and
        chunked) go nowhere; the header is accepted in lower case and never forwarded; CONNECT gets 407, not 200."""
        origin, echoing = self.origin(), self.origin(echo)
        url = f"http://127.0.0.1:{origin.port}/"
        post = lambda auth, body: f"POST {url} HTTP/1.1\r\n{auth}Content-Length: {len(body)}\r\n\r\n{body}".encode()
        wrong = (f"Basic {b64('user:wrong')}", f"Basic{b64(CREDENTIALS)}", f"Bearer {b64(CREDENTIALS)}",
                 f"Basic {b64(CREDENTIALS + 'x')}", f"Basic {b64('user')}", "Basi")
        refused = [post(line, "SECRET-SIZED") for line in ["", *(f"Proxy-Authorization: {w}\r\n" for w in wrong)]]
        refused += [head("POST", url, "Transfer-Encoding: chunked") + b"d\r\nSECRET-CHUNKS\r\n0\r\n\r\n",
                    head("CONNECT", f"127.0.0.1:{echoing.port}")]
        with self.client() as c:
            self.assertEqual(c.ask(post(GOOD, "first")), b"ok")
            for request in refused:
                c.send(request)
                self.assertEqual(c.exact(len(AUTH_REQUIRED)), AUTH_REQUIRED, request)
            # The field name and the scheme in any letter case, more than one space after the scheme.
            self.assertEqual(c.ask(post(GOOD.replace("Proxy-A", "proxy-a").replace("Basic ", "bASIC  "), "public")), b"ok")
            c.tunnel(echoing.port, GOOD.strip(), then=b"ping")
            self.assertEqual(c.exact(4), b"ping")
        self.proxy.wait_for_line(lambda l: " CONNECT " in l)
        received = b"".join(origin.received)
        self.assertEqual(([r.rsplit(b"\r\n\r\n", 1)[1] for r in origin.received], origin.connections,
                          echoing.connections), ([b"first", b"public"], 1, 1))
        self.assertFalse(b"SECRET" in received or b"proxy-authorization" in received.lower(), received)
        self.assertEqual(len([l for l in self.proxy.output() if l.startswith("127.0.0.1:")]), 3, self.proxy.output())


class Blacklist(ProxyTest):
    options = ("-b", temp_file("example.test\nxn--bcher-kva.invalid\n27.0.0.3\n127.0.0\n0.1.1\n0177.0.0.2\n"
                               "127.0.0.1\n"))

    def test_every_spelling_of_a_host_and_its_subdomains_is_blocked_and_the_connection_stays_usable(self):
        """Whole labels only; letter case, a trailing dot and IDN forms are one host; an address in any form
        the resolver reads is its dotted quad, and an entry of fewer numbers is an address's tail; a listed
        address blocks the names that resolve to it, before any connect; blocked bodies go nowhere; the Host
        field cannot name another origin than the target."""
        origin = self.origin(address="127.0.0.3")
        p, at = origin.port, "127.0.0.3"
        blocked = [(head("POST", "http://a.b.example.test/x", "Content-Length: 10") + b"SECRET-404", "a.b.example.test",
                    "example.test"), (head("CONNECT", "Example.Test.:443"), "example.test", "example.test"),
                   (head("GET", "http://EXAMPLE.TEST/"), "example.test", "example.test"),
                   (head("GET", "http://b\u00fccher.invalid/"), "xn--bcher-kva.invalid", "xn--bcher-kva.invalid"),
                   (get(p, host="127.0.1.1"), "127.0.1.1", "0.1.1"),
                   (get(p, host="localhost"), "localhost", "127.0.0.1")]
        blocked += [(get(p, host=spelling), "127.0.0.2", "127.0.0.2")
                    for spelling in ("127.0.0.2", "127.2", "2130706434", "0x7f.0.0.2", "0177.0.0.2")]
        with self.client() as c:
            self.assertEqual(c.ask(get(p, "/first", host=at)), b"ok")
            for request, _, _ in blocked:
                c.send(request)
                self.assertEqual(c.exact(len(NOT_FOUND)), NOT_FOUND, request)
            self.assertEqual(c.ask(get(p, "/shared", "Host: example.test", host=at)), b"ok")
            # A CONNECT refused at its lookup closes: what its client sent behind it was meant for the tunnel.
            c.send(head("CONNECT", f"LocalHost:{p}") + b"\x16\x03\x01 not a request")
            self.assertEqual(c.rest(), NOT_FOUND)
        wait_until(lambda: self.proxy.count("Blocked: localhost (127.0.0.1)") == 2, 5)
        wanted = [f"Blocked: {host} ({entry})" for _, host, entry in blocked] + ["Blocked: localhost (127.0.0.1)"]
        self.assertEqual([l for l in self.proxy.output() if l.startswith("Blocked: ")], wanted)
        self.assertFalse([l for l in self.proxy.output() if "getaddrinfo" in l])
        self.assertEqual(origin.received, [head("GET", "/first", f"Host: {at}:{p}"),
                                           head("GET", "/shared", f"Host: {at}:{p}")])


class Reloading(ProxyTest):
    def reload(self, *lines):
        """Sends SIGHUP and waits until the proxy has printed lines, in this order (others may come between)."""
        start = len(self.proxy.output())
        self.proxy.proc.send_signal(signal.SIGHUP)
        printed = lambda: [line for line in self.proxy.output()[start:] if line in lines]
        self.assertTrue(wait_until(lambda: printed() == list(lines), 5), self.proxy.output()[start:])


class Reload(Reloading):
    first, second = temp_file("127.0.0.2\nold.test\n"), temp_file("other.test\n")
    options = ("-b", first, "-b", second)

    def test_new_lists_take_effect_between_requests_and_a_broken_file_keeps_the_old_one(self):
        origin, tunnel_origin = self.origin(address="127.0.0.2"), self.origin(echo)
        with self.client() as c, self.client() as tunnel:
            ask = lambda host: c.ask(get(origin.port, "/", host=host))  # b"" from the proxy's 404
            tunnel.tunnel(tunnel_origin.port, host="localhost")
            self.assertEqual(ask("127.0.0.2"), b"")
            with open(self.first, "w") as f:
                f.write("new.test\n")
            self.reload("1 domains blacklisted", "2 domains blacklisted")
            # The same keep-alive connection, and the tunnel opened before the reload, go on.
            self.assertEqual((ask("127.0.0.2"), ask("x.new.test")), (b"ok", b""))
            tunnel.send(b"still open")
            self.assertEqual(tunnel.exact(10), b"still open")
            with open(self.first, "w") as f:  # a list made of the files before the broken one must not be used
                f.write("127.0.0.2\n")
            os.rename(self.second, self.second + ".gone")
            self.addCleanup(os.rename, self.second + ".gone", self.second)
            self.reload(f"Error! Blacklist not reloaded: cannot read {self.second} (No such file or directory).")
            self.assertEqual((ask("new.test"), ask("127.0.0.2")), (b"", b"ok"))  # the previous list is in force
        self.proxy.wait_for_line("Blocked: new.test (new.test)")
        self.assertEqual([l for l in self.proxy.output() if l.startswith("Blocked: ")], [
            "Blocked: 127.0.0.2 (127.0.0.2)", "Blocked: x.new.test (new.test)", "Blocked: new.test (new.test)"])


class NotAFile(Reloading):
    kept, fifo = temp_file("old.test\n"), os.path.join(TMP, "list.fifo")
    os.mkfifo(fifo)
    options = ("-b", kept, "-b", fifo)

    def test_a_fifo_is_refused_at_start_up_and_at_a_reload_and_its_replacement_is_read_later(self):
        """A reader that opened a FIFO without a writer would wait for one: at start-up the proxy would never
        listen (this test's proxy would not start), and a reload thread stuck there would ignore every later
        SIGHUP."""
        refused = f"cannot read {self.fifo} (not a regular file)."
        self.proxy.wait_for_line("Error! Blacklist not loaded: " + refused)
        origin = self.origin()
        with self.client() as c:
            ask = lambda host: c.ask(get(origin.port, host=host))  # b"" from the proxy's 404
            self.assertEqual((ask("127.0.0.1"), ask("old.test")), (b"ok", b""))
            self.reload("Error! Blacklist not reloaded: " + refused)
            os.unlink(self.fifo)
            with open(self.fifo, "w") as f:
                f.write("new.test\n")
            self.reload("1 domains blacklisted", "2 domains blacklisted")
            self.assertEqual((ask("new.test"), ask("old.test"), ask("127.0.0.1")), (b"", b"", b"ok"))
