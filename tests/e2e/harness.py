"""Helpers for the end-to-end tests: the real proxy binary on loopback, raw
clients and small origins. Every wait is bounded; a test stops what it starts."""

import atexit, hashlib, os, random, resource, shutil, signal, socket, socketserver, ssl, struct, subprocess, \
    tempfile, threading, time
import unittest

for _name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):  # curl and urllib use the proxy a test names
    os.environ.pop(_name, None)
    os.environ.pop(_name.upper(), None)

# ASan's quarantine of freed memory (256 MiB by default) would hide whether the proxy gives
# memory back; a small one still catches the use of a block freed recently. Proxies inherit it.
os.environ["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=16"]))
PROXY = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin/proxy"))
MiB = 1 << 20
TUNNEL_OPEN = b"HTTP/1.1 200 OK\r\n\r\n"
_CLOSING = b"HTTP/1.1 %s\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n%s"
BAD_GATEWAY = _CLOSING % (b"502 Bad Gateway", b"Unable to connect")


def origin_failed(words):  # the 502 for an origin that was reached but gave no answer, with words saying why
    return _CLOSING % (b"502 Bad Gateway", b"Origin " + words)


BAD_REQUEST = _CLOSING % (b"400 Bad Request", b"Ambiguous message framing")
MALFORMED = _CLOSING % (b"400 Bad Request", b"Malformed request head")
TOO_LARGE = _CLOSING % (b"431 Request Header Fields Too Large", b"Request head exceeds 1048576 bytes")
BAD_TARGET = _CLOSING % (b"400 Bad Request", b"Invalid request target")
LOOP_DETECTED = _CLOSING % (b"508 Loop Detected", b"Request loops back to this proxy")
AUTH_REQUIRED = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
                 b"Content-Length: 0\r\n\r\n")
NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n"
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 25\r\n\r\nForbidden by proxy policy"
FORBIDDEN_CLOSING = _CLOSING % (b"403 Forbidden", b"Forbidden by proxy policy")
TIMED_OUT = " has timed out."  # the end of the line that says the proxy ended an idle peer
TMP = tempfile.mkdtemp(prefix="proxy-e2e-")
atexit.register(shutil.rmtree, TMP, True)


def temp_file(data):  # a new file in this run's temporary directory holding data (str or bytes)
    fd, path = tempfile.mkstemp(dir=TMP)
    with os.fdopen(fd, "wb") as f:
        f.write(_bytes(data))
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, step=0.05):
    """Polls condition until it holds (True) or timeout seconds pass (False)."""
    end = time.time() + timeout
    while not condition():
        if time.time() > end:
            return False
        time.sleep(step)
    return True


def _bytes(text):
    return text.encode() if isinstance(text, str) else text


def head(method, target, *lines):
    """A request head: the request line, then the header lines (str or bytes, without line ends)."""
    return b"%s %s HTTP/1.1\r\n%s\r\n" % (_bytes(method), _bytes(target), b"".join(_bytes(l) + b"\r\n" for l in lines))


def get(port, path="/", *lines, host="127.0.0.1", method="GET"):
    """An absolute-form request for http://host:port/path (the proxy's own kind), without a body."""
    return head(method, b"http://%s:%d%s" % (_bytes(host), port, _bytes(path)), *lines)


def sha256(pieces=b""):  # a sha256 object over pieces (bytes, or an iterable of bytes); update() takes more
    digest = hashlib.sha256()
    for piece in [pieces] if isinstance(pieces, (bytes, bytearray)) else pieces:
        digest.update(piece)
    return digest


def brief(data):  # what a failed comparison shows of data: itself when short, else its length and hash
    return bytes(data) if len(data) < 64 else f"{len(data)} bytes, sha256 {sha256(data).hexdigest()[:16]}"


def backlog(port):
    """Clients waiting in the backlog of the socket listening on port, from the kernel's table."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table]
    return next((int(r[4].split(":")[1], 16) for r in rows if r[1].endswith(f":{port:04X}") and r[3] == "0A"), 0)


def raise_descriptor_limit(n):  # for this process and the proxies it starts, which inherit the limit
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (n if hard == resource.RLIM_INFINITY else min(n, hard), hard))


def needs_namespaces(test_class):  # skips the class unless this process may make mount namespaces
    works = os.geteuid() == 0 and subprocess.run(["unshare", "-m", "true"], timeout=5).returncode == 0
    return unittest.skipUnless(works, "needs root and mount namespaces")(test_class)


def with_files_at(files):  # a Proxy wrapper: a mount namespace where each path in files is the file files[path]
    mounts = "".join(f"mount --bind {replacement} {path} && " for path, replacement in files.items())
    return ("unshare", "-m", "sh", "-c", mounts + 'exec "$0" "$@"')


class _Closing:  # a context manager that calls close()
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


_running = []  # proxies not stopped yet: a test that failed leaves none behind
atexit.register(lambda: [proxy.stop(signal.SIGKILL, 2) for proxy in list(_running)])


class Proxy(_Closing):
    """The binary on a free port (negative: all adapters), then `options`,
    wrapped in a command that execs "$0" "$@"; its log is read as it comes."""

    def __init__(self, *options, all_adapters=False, wrapper=()):
        self.port, self.lines = free_port(), []
        args = [*wrapper, PROXY, str(-self.port if all_adapters else self.port), *map(str, options)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        _running.append(self)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        # The first count line ends the first turn: it listens, and the descriptors a test counts from are open.
        self.wait_for_line(lambda l: l.endswith(" connections"))

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def output(self):
        return list(self.lines)

    def count(self, suffix):
        return sum(line.endswith(suffix) for line in self.output())

    def wait_for_line(self, match, timeout=5):
        """Waits for a log line equal to match (a str) or for which match(line) holds; returns it."""
        match, end = match.__eq__ if isinstance(match, str) else match, time.time() + timeout
        while True:
            alive = self._reader.is_alive()
            if found := [line for line in self.output() if match(line)]:
                return found[0]
            if not alive or time.time() > end:
                raise AssertionError("no matching log line; log was:\n" + "\n".join(self.output()))
            time.sleep(0.02)

    def stop(self, sig=signal.SIGINT, timeout=5):
        """Stops the proxy with sig (once); returns its status, keeps its standard error in `errors`."""
        if self in _running:
            _running.remove(self)
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self._reader.join(2)
            self.errors = self.proc.stderr.read().decode("utf-8", "replace")
            self.proc.stdout.close()
            self.proc.stderr.close()
        return self.proc.returncode

    close = stop

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next((int(l.split()[1]) for l in f if l.startswith("VmRSS:")), 0)

    def cpu_seconds(self):  # user and system time the proxy has used so far
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def sanitized(self):  # built with the sanitizers: memory grows more, and freed memory waits in quarantine
        with open(f"/proc/{self.proc.pid}/maps") as maps:
            return "libasan" in maps.read()


def stop_cleanly(test, proxy):
    """Stops the proxy; fails the test if it had died, exited with non-zero or wrote on standard error."""
    alive = proxy.proc.poll() is None
    status = proxy.stop()
    test.assertTrue(alive, f"the proxy died with status {status}: {proxy.errors}")
    test.assertEqual((status, proxy.errors), (0, ""))


class ProxyTest(unittest.TestCase):
    """Each test gets a proxy started with `options` (and `wrapper`), stopped cleanly after it."""

    options, wrapper = (), ()

    def setUp(self):
        self.proxy = Proxy(*self.options, wrapper=self.wrapper)
        self.addCleanup(stop_cleanly, self, self.proxy)

    def origin(self, handler=None, **where):  # an Origin closed after the test
        origin = Origin(handler, **where)
        self.addCleanup(origin.close)
        return origin

    def client(self, timeout=10):
        return Client(self.proxy.port, timeout)

    def usage(self):
        """The proxy's descriptors and resident memory once its descriptors have held still for 0.3 s (the
        connections of a client that has just gone take a moment to end): a baseline for assert_released."""
        counts = [self.proxy.fd_count()]
        wait_until(lambda: counts.append(self.proxy.fd_count()) or counts[-7:] == [counts[-1]] * 7, 5)
        return counts[-1], self.proxy.rss_kib()

    def assert_released(self, baseline, memory=False):
        """Within 5 s the proxy holds the baseline's descriptors again (and, with memory, resident memory below
        the baseline's plus some slack, more under ASan, whose freed memory stays in quarantine a while)."""
        fds, rss = baseline
        limit = rss + (24 if self.proxy.sanitized() else 4) * 1024
        wait_until(lambda: self.proxy.fd_count() == fds and not (memory and self.proxy.rss_kib() >= limit), 5)
        self.assertEqual(self.proxy.fd_count(), fds, "descriptors left open")
        if memory:
            self.assertLess(self.proxy.rss_kib(), limit, f"baseline {rss} KiB")


class Origin(_Closing, socketserver.ThreadingTCPServer):
    """A TCP origin on a loopback address running handler(sock, origin) (serving() by default) per connection in a
    thread; counts `connections`; serving() keeps requests in `received`. `backlog`: its listen queue."""

    daemon_threads = allow_reuse_address = True

    def __init__(self, handler=None, address="127.0.0.1", backlog=5):
        self.handler, self.connections, self.received, self.lock = handler or serving(), 0, [], threading.Lock()
        self.request_queue_size = backlog
        self.address_family = socket.AF_INET6 if ":" in address else socket.AF_INET
        super().__init__((address, 0), None)
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def finish_request(self, sock, address):  # in a thread of its own
        with self.lock:
            self.connections += 1
        sock.settimeout(10)
        try:
            self.handler(sock, self)
        except (OSError, EOFError):
            pass  # the peer went away

    def close(self):
        self.shutdown()
        self.server_close()


def reset(sock):  # closes sock with a reset instead of an orderly end
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def echo(sock, origin):  # an Origin handler that sends back whatever it receives
    while data := sock.recv(1 << 20):
        sock.sendall(data)


def connect(port, timeout=10, address="127.0.0.1", source=None, receive_buffer=None):
    """source: the address to connect from; receive_buffer: the socket's, set before it connects (small: a
    client whose socket takes little of an answer it does not read)."""
    if receive_buffer is None:
        return socket.create_connection((address, port), timeout, (source, 0) if source else None)
    sock = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(timeout)
    if source:
        sock.bind((source, 0))
    sock.connect((address, port))
    return sock


class Reader:  # buffered reading from a socket; EOFError when the peer closes too early; counts bytes `received`
    def __init__(self, sock):
        self.sock, self.buf, self.received = sock, bytearray(), 0

    def _fill(self):
        if not (chunk := self.sock.recv(1 << 20)):
            raise EOFError("peer closed")
        self.buf += chunk
        self.received += len(chunk)

    def until(self, marker):  # the bytes up to and including marker
        while (at := self.buf.find(marker)) < 0:
            self._fill()
        return self.exact(at + len(marker))

    def pipe(self, n, sink):  # hands the next n bytes to sink piece by piece, keeping none
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

    def rest(self):  # everything up to the peer's close
        while chunk := self.sock.recv(1 << 20):
            self.buf += chunk
            self.received += len(chunk)
        return self.exact(len(self.buf))


class Client(Reader, _Closing):  # a raw client of the proxy, from its own `address` and `port`; counts bytes `sent`
    def __init__(self, proxy_port, timeout=10, address="127.0.0.1", source=None, receive_buffer=None):
        super().__init__(connect(proxy_port, timeout, address, source, receive_buffer))
        (self.address, self.port), self.sent = self.sock.getsockname()[:2], 0

    def send(self, raw):
        self.sock.sendall(_bytes(raw))
        self.sent += len(raw)

    def response(self):  # one answer: (head, body by Content-Length or up to the close)
        head = self.until(b"\r\n\r\n")
        length = header(head, "content-length")
        return head, self.rest() if length is None else self.exact(int(length))

    def ask(self, raw):  # sends raw, returns the body of the answer
        self.send(raw)
        return self.response()[1]

    def tunnel(self, port, *lines, host="127.0.0.1", then=b""):
        """Asks for a tunnel to host:port (then sends `then` at once) and reads the proxy's 200."""
        self.send(head("CONNECT", b"%s:%d" % (_bytes(host), port), *lines) + then)
        if (answer := self.exact(len(TUNNEL_OPEN))) != TUNNEL_OPEN:
            raise AssertionError(f"no tunnel: {answer + self.rest()!r}")

    def described(self, method, target, agent=""):  # the log line of a request of this client
        return f"127.0.0.1:{self.port} {method} {target} HTTP/1.1 [{agent}]"

    def close(self):
        self.sock.close()


def clients(port, n, timeout=10, every=32):
    """n Clients of the proxy on port, opened without overflowing its backlog: the proxy accepts one
    client per turn, and a dropped SYN would wait a second. The backlog is read from the kernel's table
    (slow with thousands of sockets) before each `every` clients."""
    for i in range(n):
        if i % every == 0:
            wait_until(lambda: backlog(port) < 64, 5, 0.002)
        yield Client(port, timeout)


def header(head, name):
    """Value of header name (lower case; any case in head): the values of all its lines joined by ", ", or None."""
    values = [value.strip() for key, sep, value in (line.partition(b":") for line in head.split(b"\r\n")[1:])
              if sep and key.lower() == name.encode()]
    return b", ".join(values).decode("latin-1") if values else None


def pipe_body(reader, head, sink):  # hands the raw body (framing included) of the request with this head to sink
    coding = header(head, "transfer-encoding")
    if coding is None or coding.split(",")[-1].strip().lower() != "chunked":
        return reader.pipe(int((header(head, "content-length") or "0").split(",")[0]), sink)
    while size := int((line := reader.until(b"\r\n")).split(b";")[0], 16):
        sink(line)
        reader.pipe(size + 2, sink)
    while line != b"\r\n":  # the last chunk's line, trailer lines, then the blank line
        sink(line)
        line = reader.until(b"\r\n")
    sink(line)


def response(body=b"ok", extra=b""):  # an origin's answer
    return b"HTTP/1.1 200 OK\r\n%sContent-Length: %d\r\n\r\n%s" % (extra, len(body), body)


def serving(answer=lambda request: response()):  # an Origin handler: keeps each raw request, sends answer(request)

    def handler(sock, origin):  # until the peer closes (EOFError)
        reader = Reader(sock)
        while True:
            request = bytearray(reader.until(b"\r\n\r\n"))
            pipe_body(reader, bytes(request), request.extend)
            origin.received.append(bytes(request))
            sock.sendall(answer(bytes(request)))

    return handler


def unpooled(sock, origin):  # an Origin handler answering "ok" and asking the proxy not to keep its connection
    serving(lambda request: response(b"ok", b"Connection: close\r\n"))(sock, origin)


def answering_head(size):  # what an origin sends ahead of a body of size bytes
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % size


BLOCK = random.Random(7).randbytes(MiB)


def blocks(total):
    """Data in pieces of 1 MiB tagged with their index: a lost, repeated or moved piece changes the hash."""
    for i in range((total + MiB - 1) // MiB):
        yield (i.to_bytes(8, "big") + BLOCK[8:])[: total - i * MiB]


def over_tls(handler):  # the Origin handler behind TLS, with a self-signed certificate for localhost and 127.0.0.1
    key, cert = os.path.join(TMP, "key.pem"), os.path.join(TMP, "cert.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-days", "1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)

    def tls(sock, origin):
        with context.wrap_socket(sock, server_side=True) as wrapped:
            handler(wrapped, origin)

    return tls


def curl(*args):  # the finished process, stdout as bytes
    return subprocess.run(["curl", "-sS", *args], capture_output=True, timeout=30)
