"""Shared helpers for the end-to-end tests: start the real proxy binary on
loopback, read its log through a pipe, and run small origin servers.

Every wait is bounded; every process and server a test starts is stopped by
the test itself."""

import os
import queue
import signal
import socket
import socketserver
import subprocess
import threading
import time

PROXY = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin/proxy"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Proxy:
    """The proxy binary, started with the given arguments. Its standard output
    is collected line by line as it arrives."""

    def __init__(self, *args, port=None, wait_for_start=True):
        self.port = free_port() if port is None else port
        self.args = [PROXY, *(str(a) for a in args)] if args else [PROXY, str(self.port)]
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self._new = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if wait_for_start:
            self.wait_for_line(lambda l: l.startswith("Binding to port"), 5)

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
        """Stops the proxy with sig; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._reader.join(2)
        self.proc.stderr.close()
        return rc

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

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


def run_proxy(*args, timeout=5):
    """Runs the binary to completion; returns (status, stdout text)."""
    p = subprocess.run([PROXY, *(str(a) for a in args)], stdout=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


class ThreadedTCPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Origin:
    """A TCP origin server on loopback, running handler(sock, origin) in a
    thread per connection. Counts its connections; records what each one
    received in `received` when the handler uses recv_all/recv_until."""

    def __init__(self, handler):
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

        self.server = ThreadedTCPServer(("127.0.0.1", 0), Handler)
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
