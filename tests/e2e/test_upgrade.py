"""Protocol upgrades: a WebSocket conversation through plain forwarding and through a CONNECT tunnel
(wss, as browsers do). After the origin's 101 the connection carries bytes both ways unchanged, the
first frames included; credentials and the blacklist are checked before anything reaches an origin."""

import base64, hashlib, os, ssl, struct

from harness import AUTH_REQUIRED, NOT_FOUND, TIMED_OUT, ProxyTest, Reader, brief, head, header, over_tls, temp_file

CREDENTIALS = b"user:secret"
AUTH = b"Proxy-Authorization: Basic %s" % base64.b64encode(CREDENTIALS)
TEXT, BINARY, CLOSE = 1, 2, 8
# The key and accept value of RFC 6455's own example: checks accept() as well as the relay of the key.
KEY = b"dGhlIHNhbXBsZSBub25jZQ=="
SWITCH = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
WELCOME = b"welcome"  # the origin's own first message, written together with its 101
# Lengths in 7, 16 and 64 bits; the first one goes in the same write as the request head.
MESSAGES = [(TEXT, b"hello"), (BINARY, bytes(range(256)) * 2), (TEXT, "grüße ".encode() * 30),
            (BINARY, os.urandom(70000))]
GOODBYE = struct.pack("!H", 1000) + b"done"


def accept(key):
    return base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())


def unmask(data, key):
    n = len(data)
    return (int.from_bytes(data, "big") ^ int.from_bytes((key * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")


def frame(opcode, payload, masked=True):
    """One final frame; a client's is masked, an origin's is not."""
    n, bit = len(payload), 0x80 if masked else 0
    length = bytes([bit | n]) if n < 126 else struct.pack("!BH", bit | 126, n) if n < 65536 else \
        struct.pack("!BQ", bit | 127, n)
    key = os.urandom(4) if masked else b""
    return bytes([0x80 | opcode]) + length + key + (unmask(payload, key) if masked else payload)


def read_frame(reader):
    """(first byte, unmasked payload, whether it was masked) of the next frame."""
    first, second = reader.exact(2)
    n = second & 0x7F
    n = struct.unpack("!H", reader.exact(2))[0] if n == 126 else struct.unpack("!Q", reader.exact(8))[0] \
        if n == 127 else n
    key = reader.exact(4) if second & 0x80 else None
    payload = reader.exact(n)
    return first, unmask(payload, key) if key else payload, key is not None


def websocket(sock, origin):
    """A minimal RFC 6455 origin: keeps the head and each frame it reads in `received`, answers 101
    (with a message of its own in the same write), echoes messages, answers a close and ends."""
    reader = Reader(sock)
    request = reader.until(b"\r\n\r\n")
    origin.received.append(request)
    answer = SWITCH.replace(b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", accept(header(request, "sec-websocket-key").encode()))
    sock.sendall(answer + frame(TEXT, WELCOME, masked=False))
    while True:
        first, payload, masked = read_frame(reader)
        origin.received.append((first, brief(payload), masked))
        if not masked:
            return  # a client's frame must be masked: the client sees the stream end too early
        sock.sendall(frame(first & 0x0F, payload, masked=False))
        if first & 0x0F == CLOSE:
            return


def converse(test, reader, send, request):
    """The client's side: the request head and the first message in one write, the 101, the origin's
    welcome and the echoes (the rest sent in one write), then the close handshake and the end."""
    send(request + frame(*MESSAGES[0]))
    test.assertEqual(reader.until(b"\r\n\r\n"), SWITCH)
    test.assertEqual(read_frame(reader), (0x80 | TEXT, WELCOME, False))
    test.assertEqual(read_frame(reader), (0x80 | TEXT, MESSAGES[0][1], False))
    send(b"".join(frame(*message) for message in MESSAGES[1:]))
    for opcode, payload in MESSAGES[1:]:
        first, echoed, masked = read_frame(reader)
        test.assertEqual((first, brief(echoed), masked), (0x80 | opcode, brief(payload), False))
    send(frame(CLOSE, GOODBYE))
    test.assertEqual(read_frame(reader), (0x80 | CLOSE, GOODBYE, False))
    test.assertEqual(reader.rest(), b"")


def frames_seen():  # what the origin must have read after the head
    return [(0x80 | opcode, brief(payload), True) for opcode, payload in [*MESSAGES, (CLOSE, GOODBYE)]]


def upgrade_head(target, host, *lines):
    return head("GET", target, b"Host: " + host, *lines)


WEBSOCKET = (b"Sec-WebSocket-Key: " + KEY, b"Sec-WebSocket-Version: 13")


class Upgrade(ProxyTest):
    options = ("-a", CREDENTIALS.decode(), "-b", temp_file("blocked.invalid\n"))

    def assert_described(self, *lines):
        """The proxy described exactly these requests, and no peer was timed out."""
        self.proxy.wait_for_line(lines[-1])
        self.assertEqual([l for l in self.proxy.output() if l.startswith("127.0.0.1:")], list(lines))
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)

    def test_websocket_through_forwarding_keeps_its_upgrade_and_its_frames(self):
        """The origin gets the head in origin form with the Upgrade line, every Proxy* and Connection* line dropped
        and exactly one Connection line, the proxy's own, naming the upgrade option as the client spelled it; frames
        after the head (sent with it, and with the 101) are never taken for the next request or answer."""
        cases = [  # (Upgrade and connection lines from the client, the Connection line the origin gets)
            ((b"Upgrade: websocket", b"Connection: keep-alive, Upgrade", b"Proxy-Connection: keep-alive"),
             b"Upgrade: websocket", b"Connection: Upgrade"),
            ((b"connection: upgrade", b"upgrade: websocket", b"Connection-Extra: x"),
             b"upgrade: websocket", b"Connection: upgrade"),
            ((b"Connection: keep-alive", b"Upgrade: websocket", b"CONNECTION: UpGrade , TE"),
             b"Upgrade: websocket", b"Connection: UpGrade"),
        ]
        described = []
        for sent, upgrade_line, connection_line in cases:
            with self.subTest(connection=sent), self.client() as c:
                origin = self.origin(websocket)
                url, host = b"http://127.0.0.1:%d/chat?room=1" % origin.port, b"127.0.0.1:%d" % origin.port
                converse(self, c, c.send, upgrade_head(url, host, *sent, AUTH, *WEBSOCKET, b"User-Agent: ws/1"))
                expected = upgrade_head(b"/chat?room=1", host, upgrade_line, *WEBSOCKET, b"User-Agent: ws/1",
                                        connection_line)
                self.assertEqual(origin.received, [expected, *frames_seen()])
                self.assertEqual(origin.connections, 1)
                described.append(c.described("GET", url.decode(), "ws/1"))
        self.assert_described(*described)

    def test_wss_through_a_connect_tunnel(self):
        """CONNECT with credentials, then TLS to the origin and the handshake in origin form inside:
        the tunnel neither reads nor describes the request it carries."""
        origin = self.origin(over_tls(websocket))
        request = upgrade_head(b"/chat", b"localhost:%d" % origin.port, b"Connection: Upgrade", b"Upgrade: websocket",
                               *WEBSOCKET)
        client_side = ssl.create_default_context()
        client_side.check_hostname, client_side.verify_mode = False, ssl.CERT_NONE
        with self.client() as c:
            c.tunnel(origin.port, f"Host: localhost:{origin.port}", AUTH, "User-Agent: ws/2", host="localhost")
            with client_side.wrap_socket(c.sock, server_hostname="localhost") as tls:
                converse(self, Reader(tls), tls.sendall, request)
        self.assertEqual(origin.received, [request, *frames_seen()])
        self.assert_described(c.described("CONNECT", f"localhost:{origin.port}", "ws/2"))

    def test_refused_upgrades_reach_no_origin_and_a_retry_on_the_connection_upgrades(self):
        """Missing or wrong credentials get exactly 407, a blacklisted host 404, with no line for the
        407s and no connection to the origin; the same connection then upgrades."""
        origin = self.origin(websocket)
        host = b"127.0.0.1:%d" % origin.port
        url = b"http://%s/chat" % host
        lines = (b"Upgrade: websocket", b"Connection: Upgrade", *WEBSOCKET)
        with self.client() as c:
            for refused, answer in ((upgrade_head(url, host, *lines), AUTH_REQUIRED),
                                    (upgrade_head(url, host, b"Proxy-Authorization: Basic dXNlcjp4", *lines),
                                     AUTH_REQUIRED),
                                    (upgrade_head(b"http://blocked.invalid/chat", b"blocked.invalid", AUTH, *lines),
                                     NOT_FOUND)):
                c.send(refused)
                self.assertEqual(c.exact(len(answer)), answer, refused)
            self.assertEqual(origin.connections, 0)
            converse(self, c, c.send, upgrade_head(url, host, *lines, AUTH))
        self.assertEqual(origin.received, [upgrade_head(b"/chat", host, *lines[:1], *WEBSOCKET, b"Connection: Upgrade"),
                                           *frames_seen()])
        self.assertEqual(origin.connections, 1)
        self.assert_described(c.described("GET", "http://blocked.invalid/chat"), c.described("GET", url.decode()))
        self.assertIn("Blocked: blocked.invalid (blocked.invalid)", self.proxy.output())

