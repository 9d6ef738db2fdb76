"""Name lookups do not stall the loop: while one client waits for a name
that takes seconds to resolve, other clients' transfers keep flowing.

The proxy runs in a mount namespace of its own whose /etc/resolv.conf points
at a DNS server in this test, on a loopback address. It answers names under
.test: slow.test after a delay, gone.test with "no such name" after a delay,
anything else at once. Needs root (namespaces, port 53)."""

import os
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import Origin, Proxy, Reader, connect, read_response, stop_cleanly

DNS_ADDRESS = "127.53.0.1"
DELAY = 4.0


class StubDns:
    """A UDP DNS server answering A queries with 127.0.0.1 (AAAA with no
    records), after DELAY for slow.test and gone.test."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((DNS_ADDRESS, 53))
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                query, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._answer, args=(query, peer), daemon=True).start()

    def _answer(self, query, peer):
        name, end = [], 12
        while query[end]:
            n = query[end]
            name.append(query[end + 1 : end + 1 + n].decode())
            end += 1 + n
        qtype = struct.unpack("!H", query[end + 1 : end + 3])[0]
        question = query[12 : end + 5]
        name = ".".join(name).lower()
        if name in ("slow.test", "gone.test"):
            time.sleep(DELAY)
        if name == "gone.test":
            flags, records = 0x8183, b""
        elif qtype == 1:
            flags = 0x8180
            records = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
        else:
            flags, records = 0x8180, b""
        header = query[:2] + struct.pack("!HHHHH", flags, 1, 1 if records else 0, 0, 0)
        try:
            self.sock.sendto(header + question + records, peer)
        except OSError:
            pass

    def close(self):
        self.running = False
        self.thread.join(2)
        self.sock.close()


def namespaces_work():
    if os.geteuid() != 0:
        return False
    try:
        return subprocess.run(["unshare", "-m", "true"], timeout=5).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


@unittest.skipUnless(namespaces_work(), "needs root and mount namespaces")
class SlowLookups(unittest.TestCase):
    def setUp(self):
        self.dns = StubDns()
        self.conf = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
        self.conf.write(f"nameserver {DNS_ADDRESS}\noptions timeout:10 attempts:1\n")
        self.conf.close()
        wrapper = ["unshare", "-m", "sh", "-c", f'mount --bind {self.conf.name} /etc/resolv.conf && exec "$0" "$@"']
        self.proxy = Proxy(wrapper=wrapper)

    def tearDown(self):
        stop_cleanly(self, self.proxy)
        self.dns.close()
        os.unlink(self.conf.name)

    def test_a_slow_name_does_not_stall_another_clients_transfer(self):
        ticks = 20

        def trickle(sock, origin):
            """A body sent in small pieces, 100 ms apart."""
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % ticks)
            for _ in range(ticks):
                time.sleep(0.1)
                sock.sendall(b"x")

        def quick(sock, origin):
            Reader(sock).until(b"\r\n\r\n")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nslow")

        with Origin(trickle) as streaming, Origin(quick) as named:
            waiting = connect(self.proxy.port)
            start = time.time()
            waiting.sendall(b"GET http://slow.test:%d/ HTTP/1.1\r\nHost: slow.test\r\n\r\n" % named.port)
            self.proxy.wait_for_line(lambda l: "slow.test" in l)

            flowing = connect(self.proxy.port)
            flowing.sendall(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: s\r\n\r\n" % streaming.port)
            reader = Reader(flowing)
            reader.until(b"\r\n\r\n")
            answer = {}

            def wait_for_answer():
                answer["body"] = read_response(Reader(waiting))[1]
                answer["at"] = time.time() - start

            waiter = threading.Thread(target=wait_for_answer, daemon=True)
            waiter.start()
            for _ in range(ticks):
                self.assertEqual(reader.exact(1), b"x")
            trickled = time.time() - start
            waiter.join(15)
            answered = answer["at"]
            self.assertEqual(answer["body"], b"slow")
            # Every piece came through while the lookup was still pending.
            self.assertGreater(answered, DELAY - 0.5)
            self.assertLess(trickled, answered)
            waiting.close()
            flowing.close()

    def test_a_failed_slow_lookup_answers_502_after_the_description_line(self):
        client = connect(self.proxy.port)
        client.sendall(
            b"GET http://gone.test/a HTTP/1.1\r\nHost: gone.test\r\n\r\n"
            b"GET http://127.0.0.1:9/b HTTP/1.1\r\nHost: b\r\n\r\n"  # pipelined behind it
        )
        answer = Reader(client).rest()
        client.close()
        self.assertEqual(
            answer,
            b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nUnable to connect",
        )
        lines = self.proxy.output()
        first = next(i for i, l in enumerate(lines) if "GET http://gone.test/a" in l)
        self.assertEqual(lines[first + 1], "getaddrinfo() failed for host gone.test:80!")
        # The pipelined request was never taken up: the connection was closing.
        self.assertFalse(any("127.0.0.1:9/b" in l for l in lines))


if __name__ == "__main__":
    unittest.main()
