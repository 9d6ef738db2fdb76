"""A log reader that stops reading never holds up the proxy: lines wait in a bounded queue, the ones
that find it full are dropped whole and counted, and once the reader is back the lines go on in
order, with one line telling how many were lost."""

import os, re, select, subprocess, time, unittest

from harness import PROXY, Client, Origin, connect, free_port, serving, wait_until

AGENT = b"a" * 2000  # long description lines: a few thousand of them are more than the 4 MiB queue
REQUESTS = 3000
DESCRIBED = re.compile(rb"127\.0\.0\.1:\d+ GET http://127\.0\.0\.1:\d+/(\d+) HTTP/1\.1 \[(a*)\]")
GAP = re.compile(rb"Warning! (\d+) log lines dropped: standard output was not read\.")


def accounted(lines):
    """Requests whose line was read or reported dropped."""
    return sum(1 if DESCRIBED.fullmatch(l) else int(g[1]) if (g := GAP.fullmatch(l)) else 0 for l in lines)


class StalledReader(unittest.TestCase):
    def test_a_paused_reader_loses_whole_lines_only_and_traffic_goes_on(self):
        port = free_port()
        proxy = subprocess.Popen([PROXY, str(port)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proxy.stdout.close)
        self.addCleanup(proxy.wait, 5)
        self.addCleanup(proxy.kill)
        origin = Origin(serving())
        self.addCleanup(origin.close)

        def listening():
            try:
                connect(port, 1).close()
                return True
            except OSError:
                return False

        self.assertTrue(wait_until(listening, 5))
        # Nobody reads standard output meanwhile: the pipe fills after a few dozen lines. A proxy that
        # wrote its log with blocking calls would freeze there, and so would every client.
        start = time.time()
        with Client(port, timeout=10) as c:
            for i in range(REQUESTS):
                self.assertEqual(c.ask(b"GET http://127.0.0.1:%d/%d HTTP/1.1\r\nUser-Agent: %s\r\n\r\n"
                                       % (origin.port, i, AGENT)), b"ok")
        self.assertLess(time.time() - start, 60)

        # The reader is back: lines whole and in order; each gap is reported in its place and accounts
        # for exactly the lines missing there.
        lines = read_lines(proxy.stdout, lambda ls: accounted(ls) >= REQUESTS)
        numbers, dropped = [], 0
        for line in lines:
            if described := DESCRIBED.fullmatch(line):
                self.assertEqual(described[2], AGENT, "a torn line")
                self.assertEqual(int(described[1]), len(numbers) + dropped)
                numbers.append(int(described[1]))
            elif gap := GAP.fullmatch(line):
                self.assertTrue(numbers, "a gap before any line")
                dropped += int(gap[1])
        self.assertEqual(len(numbers) + dropped, REQUESTS)
        self.assertGreater(dropped, 0, "the queue never filled: the test did not test anything")

        # And the next line comes at once.
        with Client(port) as c:
            self.assertEqual(c.ask(b"GET http://127.0.0.1:%d/last HTTP/1.1\r\n\r\n" % origin.port), b"ok")
        self.assertTrue(read_lines(proxy.stdout, lambda ls: any(b"/last " in l for l in ls), 5))
        proxy.terminate()
        self.assertEqual(proxy.wait(5), 0)


def read_lines(stream, enough, timeout=30):
    """Reads lines from stream until enough(lines read) holds or timeout seconds pass."""
    lines, buffered, end = [], b"", time.time() + timeout
    while not enough(lines) and time.time() < end:
        if select.select([stream], [], [], 0.1)[0]:
            chunk = os.read(stream.fileno(), 1 << 20)
            if not chunk:
                break
            buffered += chunk
            *complete, buffered = buffered.split(b"\n")
            lines += complete
    return lines


if __name__ == "__main__":
    unittest.main()
