"""Name lookups do not stall the loop: while one client waits for a slow name, others' transfers flow.

The proxy runs in a mount namespace whose /etc/resolv.conf names a DNS server of this test on loopback;
it answers slow.test (127.0.0.1) and gone.test (no such name) after DELAY. Needs root."""

import os, socket, socketserver, struct, subprocess, threading, time, unittest

from harness import BAD_GATEWAY, ProxyTest, Reader, temp_file

DNS_ADDRESS = "127.53.0.1"
DELAY = 4.0


class StubDns(socketserver.BaseRequestHandler):
    """Answers A queries with 127.0.0.1 and AAAA queries with no records."""

    def handle(self):
        query, sock = self.request
        end = query.index(0, 12)  # the name: length-prefixed labels, then a zero
        name, qtype = query[12:end].lower(), query[end + 2]
        if name in (b"\x04slow\x04test", b"\x04gone\x04test"):
            time.sleep(DELAY)
        flags, records = 0x8180, b""
        if name == b"\x04gone\x04test":
            flags = 0x8183  # no such name
        elif qtype == 1:
            records = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
        header = query[:2] + struct.pack("!HHHHH", flags, 1, 1 if records else 0, 0, 0)
        sock.sendto(header + query[12 : end + 5] + records, self.client_address)


def namespaces_work():
    return os.geteuid() == 0 and subprocess.run(["unshare", "-m", "true"], timeout=5).returncode == 0


@unittest.skipUnless(namespaces_work(), "needs root and mount namespaces")
class SlowLookups(ProxyTest):
    conf = temp_file(f"nameserver {DNS_ADDRESS}\noptions timeout:10 attempts:1\n")
    wrapper = ("unshare", "-m", "sh", "-c", f'mount --bind {conf} /etc/resolv.conf && exec "$0" "$@"')

    def setUp(self):
        dns = socketserver.ThreadingUDPServer((DNS_ADDRESS, 53), StubDns)
        dns.daemon_threads = True
        threading.Thread(target=dns.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.addCleanup(dns.server_close)
        self.addCleanup(dns.shutdown)
        super().setUp()

    def test_a_slow_name_does_not_stall_another_clients_transfer(self):
        """A synchronous lookup would hold back every trickled byte until the slow answer."""
        ticks = 20

        def trickle(sock, origin):  # a body sent in small pieces, 100 ms apart
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % ticks)
            for _ in range(ticks):
                time.sleep(0.1)
                sock.sendall(b"x")

        streaming, named = self.origin(trickle), self.origin()
        waiting, flowing = self.client(), self.client()
        start, answer = time.time(), {}
        waiting.send(b"GET http://slow.test:%d/ HTTP/1.1\r\nHost: slow.test\r\n\r\n" % named.port)
        self.proxy.wait_for_line(lambda l: "slow.test" in l)
        flowing.send(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: s\r\n\r\n" % streaming.port)
        flowing.until(b"\r\n\r\n")

        def wait_for_answer():
            answer["body"] = waiting.response()[1]
            answer["at"] = time.time() - start

        waiter = threading.Thread(target=wait_for_answer, daemon=True)
        waiter.start()
        for _ in range(ticks):
            self.assertEqual(flowing.exact(1), b"x")
        trickled = time.time() - start
        waiter.join(15)
        self.assertEqual(answer["body"], b"ok")
        self.assertGreater(answer["at"], DELAY - 0.5)
        self.assertLess(trickled, answer["at"])  # every piece came while the lookup was pending
        waiting.close()
        flowing.close()

    def test_a_failed_slow_lookup_answers_502_after_the_description_line(self):
        with self.client() as c:
            c.send(b"GET http://gone.test/a HTTP/1.1\r\nHost: gone.test\r\n\r\n"
                   b"GET http://127.0.0.1:9/b HTTP/1.1\r\nHost: b\r\n\r\n")  # pipelined behind it
            self.assertEqual(c.rest(), BAD_GATEWAY)
        lines = self.proxy.output()
        first = next(i for i, l in enumerate(lines) if "GET http://gone.test/a" in l)
        self.assertEqual(lines[first + 1], "getaddrinfo() failed for host gone.test:80!")
        self.assertFalse([l for l in lines if "127.0.0.1:9/b" in l])  # never taken up: the connection was closing


if __name__ == "__main__":
    unittest.main()
