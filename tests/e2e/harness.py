"""Shared helpers for the end-to-end tests: start the real proxy binary on
loopback, read its log through a pipe, and run small origin servers.

Every wait is bounded; every process and server a test starts is stopped by
the test itself."""

import atexit
import os
import signal
import socket
import socketserver
import subprocess
import threading
import time

# The clients under test (curl, urllib) must use exactly the proxy each test
# names, whatever the environment says.
for _name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
    os.environ.pop(_name, None)
    os.environ.pop(_name.upper(), None)

PROXY = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin/proxy"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Every proxy a test started and has not stopped; a failing test that never
# reached its stop leaves none running behind it.
_running = []


@atexit.register
def _stop_leftovers():
    for proxy in list(_running):
        proxy.stop(signal.SIGKILL, 2)


class Proxy:
    """The proxy binary, started with the given arguments. Its standard output
    is collected line by line as it arrives."""

    def __init__(self, *args, port=None, wait_for_start=True, wrapper=(), env=None):
        """wrapper: a command that runs the binary and its arguments (given
        to it as "$0" "$@"), e.g. to start it in a namespace of its own; it
        must exec them so that signals reach the proxy. env: variables added
        to the test's own environment for the proxy."""
        self.port = free_port() if port is None else port
        self.args = [PROXY, *(str(a) for a in args)] if args else [PROXY, str(self.port)]
        self.args = [*wrapper, *self.args]
        environment = {**os.environ, **env} if env else None
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        _running.append(self)
        self.lines = []
        self._new = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if wait_for_start:
            self.wait_for_line(lambda l: l.startswith("Binding to port"), 5)
            self._wait_listening(5)

    def _wait_listening(self, timeout):
        """Clients that do not retry (curl, urllib) need the socket to listen;
        the start-up line comes just before it does. Looks at the kernel's
        socket table instead of connecting, which the proxy would log."""
        wanted = f":{self.port:04X}"
        end = time.time() + timeout
        while time.time() < end and self.proc.poll() is None:
            with open("/proc/net/tcp") as table:
                rows = [line.split() for line in table][1:]
            if any(row[1].endswith(wanted) and row[3] == "0A" for row in rows):
                return
            time.sleep(0.01)

    def _read(self):
        for raw in self.proc.stdout:
            with self._new:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._new.notify_all()
        with self._new:
            self._new.notify_all()

    def wait_for_line(self, match, timeout=5):
        """Waits for a log line for which match(line) holds; returns it."""
        if isinstance(match, str):
            text = match
            match = lambda l: l == text
        end = time.time() + timeout
        seen = 0
        with self._new:
            while True:
                for line in self.lines[seen:]:
                    if match(line):
                        return line
                seen = len(self.lines)
                left = end - time.time()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no matching log line; log was:\n" + "\n".join(self.lines))
                self._new.wait(min(left, 0.1))

    def output(self):
        with self._new:
            return list(self.lines)

    def stop(self, sig=signal.SIGINT, timeout=5):
        """Stops the proxy with sig; returns its exit status. What it wrote
        on standard error (a sanitizer's report, say) is left in `errors`.
        Stopping twice is harmless."""
        if self.proc.stdout.closed:
            return self.proc.returncode
        if self in _running:
            _running.remove(self)
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._reader.join(2)
        self.proc.stdout.close()
        self.errors = self.proc.stderr.read().decode("utf-8", "replace")
        self.proc.stderr.close()
        return rc

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def accept_queue(self):
        """Clients waiting in the listening socket's backlog, from the kernel's
        socket table (the receive queue column of a listening socket)."""
        wanted = f":{self.port:04X}"
        with open("/proc/net/tcp") as table:
            for row in (line.split() for line in table):
                if row[1].endswith(wanted) and row[3] == "0A":
                    return int(row[4].split(":")[1], 16)
        return 0

    def sanitized(self):
        """True for a build with AddressSanitizer, whose allocator keeps freed
        memory in quarantine for a while."""
        with open(f"/proc/{self.proc.pid}/maps") as maps:
            return "libasan" in maps.read()

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def stop_cleanly(test, proxy):
    """Stops the proxy; fails the test if it had died, did not exit with 0
    (a sanitizer's exit status included) or wrote on standard error."""
    alive = proxy.proc.poll() is None
    status = proxy.stop()
    test.assertTrue(alive, f"the proxy died with status {status}: {proxy.errors}")
    test.assertEqual((status, proxy.errors), (0, ""))


def run_proxy(*args, timeout=5):
    """Runs the binary to completion; returns (status, stdout text)."""
    p = subprocess.run([PROXY, *(str(a) for a in args)], stdout=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


class ThreadedTCPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Origin:
    """A TCP origin server on loopback, running handler(sock, origin) in a
    thread per connection, on host:port (a free port by default). Counts its
    connections; keeps in `received` what handlers pass to record() (the
    serving() handler records every request it reads)."""

    def __init__(self, handler, host="127.0.0.1", port=0):
        self.handler = handler
        self.connections = 0
        self.received = []
        self.lock = threading.Lock()
        origin = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                with origin.lock:
                    origin.connections += 1
                self.request.settimeout(10)
                try:
                    origin.handler(self.request, origin)
                except OSError:
                    pass

        self.server = ThreadedTCPServer((host, port), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def record(self, data):
        with self.lock:
            self.received.append(data)

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def recv_until(sock, marker, limit=1 << 24):
    """Reads until marker has been seen (or the peer closes); returns all."""
    data = b""
    while marker not in data and len(data) < limit:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def recv_all(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(min(n - len(data), 1 << 20))
        if not chunk:
            break
        data += chunk
    return data


def http_response(sock):
    """Reads one HTTP response with Content-Length framing (or up to the
    close); returns (head text, body bytes)."""
    data = recv_until(sock, b"\r\n\r\n")
    head, _, body = data.partition(b"\r\n\r\n")
    text = head.decode("latin-1")
    length = None
    for line in text.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    if length is None:
        body += recv_all(sock)
    else:
        body += recv_exact(sock, length - len(body))
    return text, body


def connect(port, timeout=10):
    """A client socket to 127.0.0.1:port. Retries briefly while the port is
    refused: the proxy prints its start-up line just before it listens."""
    end = time.time() + 3
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout)
            s.settimeout(timeout)
            return s
        except ConnectionRefusedError:
            if time.time() > end:
                raise
            time.sleep(0.02)


class Reader:
    """Buffered reading from a socket for origins that must know where a
    request ends. Raises EOFError when the peer closes too early."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("peer closed")
        self.buf += chunk

    def until(self, marker):
        """The bytes up to and including marker."""
        start = 0
        while (at := self.buf.find(marker, start)) < 0:
            start = max(0, len(self.buf) - len(marker) + 1)
            self._fill()
        end = at + len(marker)
        out = bytes(self.buf[:end])
        del self.buf[:end]
        return out

    def pipe(self, n, sink):
        """Hands the next n bytes to sink piece by piece, keeping none."""
        while n > 0:
            if not self.buf:
                self._fill()
            piece = bytes(self.buf[:n])
            del self.buf[: len(piece)]
            sink(piece)
            n -= len(piece)

    def exact(self, n):
        out = bytearray()
        self.pipe(n, out.extend)
        return bytes(out)

    def rest(self):
        """Everything up to the peer's close."""
        out = bytes(self.buf)
        self.buf.clear()
        return out + recv_all(self.sock)


def header(head, name):
    """Value of header name (any letter case) in a head given as bytes; None
    when absent."""
    for line in head.split(b"\r\n")[1:]:
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name.lower().encode():
            return value.strip().decode("latin-1")
    return None


def pipe_body(reader, head, sink):
    """Hands the raw body of the request with this head to sink, framing
    included: Content-Length bytes, or the chunked coding up to its end."""
    coding = header(head, "transfer-encoding")
    if coding is not None and coding.split(",")[-1].strip().lower() == "chunked":
        while True:
            line = reader.until(b"\r\n")
            sink(line)
            size = int(line.split(b";")[0], 16)
            if size == 0:
                break
            reader.pipe(size, sink)
            sink(reader.exact(2))
        while True:  # trailer lines, then the blank line
            line = reader.until(b"\r\n")
            sink(line)
            if line == b"\r\n":
                return
    reader.pipe(int(header(head, "content-length") or 0), sink)


def read_request(reader):
    """One request as raw bytes (head and framed body), or None when the peer
    closed before sending another."""
    try:
        head = reader.until(b"\r\n\r\n")
    except EOFError:
        return None
    body = bytearray()
    pipe_body(reader, head, body.extend)
    return head + bytes(body)


def response(body=b"ok", status="200 OK"):
    return b"HTTP/1.1 " + status.encode() + b"\r\nContent-Length: %d\r\n\r\n" % len(body) + body


def serving(answer=lambda request: response()):
    """An Origin handler that reads requests one after another on each
    connection, records every one and sends answer(request); a None answer
    ends the connection."""

    def handler(sock, origin):
        reader = Reader(sock)
        while (request := read_request(reader)) is not None:
            origin.record(request)
            reply = answer(request)
            if reply is None:
                return
            sock.sendall(reply)

    return handler


def read_response(reader):
    """One response: (head bytes with its blank line, body). The body is
    framed by Content-Length, or runs to the close without one."""
    head = reader.until(b"\r\n\r\n")
    length = header(head, "content-length")
    return head, reader.rest() if length is None else reader.exact(int(length))


class Client:
    """A raw client connection to the proxy, read through a Reader so that
    pipelined answers are not lost between reads."""

    def __init__(self, proxy_port, timeout=10):
        self.sock = connect(proxy_port, timeout)
        self.reader = Reader(self.sock)
        self.port = self.sock.getsockname()[1]

    def send(self, raw):
        self.sock.sendall(raw)

    def response(self):
        return read_response(self.reader)

    def ask(self, raw):
        """Sends raw and returns the body of the answer."""
        self.send(raw)
        return self.response()[1]

    def exact(self, n):
        return self.reader.exact(n)

    def rest(self):
        return self.reader.rest()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def curl(*args, timeout=30):
    """Runs curl; returns the finished process (stdout as bytes)."""
    return subprocess.run(["curl", "-sS", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
