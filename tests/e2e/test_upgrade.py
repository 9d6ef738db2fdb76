"""WebSocket through plain forwarding and through a CONNECT tunnel (wss): after the origin's 101 the bytes
pass both ways unchanged, the first frames included; refused upgrades reach no origin."""

import base64, os, ssl, struct

from harness import AUTH_REQUIRED, NOT_FOUND, TIMED_OUT, ProxyTest, Reader, brief, head, over_tls, temp_file

CREDENTIALS = b"user:secret"
AUTH = b"Proxy-Authorization: Basic %s" % base64.b64encode(CREDENTIALS)
TEXT, BINARY, CLOSE = 1, 2, 8
WEBSOCKET = (b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", b"Sec-WebSocket-Version: 13")
SWITCH = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
WELCOME = b"welcome"  # the origin's own first message, written together with its 101
# Lengths in 7, 16 and 64 bits; the first goes in the same write as the request head, the close last.
MESSAGES = [(TEXT, b"hello"), (BINARY, bytes(range(256)) * 2), (TEXT, "grüße ".encode() * 30),
            (BINARY, os.urandom(70000)), (CLOSE, struct.pack("!H", 1000) + b"done")]


def unmask(data, key):
    n = len(data)
    return (int.from_bytes(data, "big") ^ int.from_bytes((key * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")


def frame(opcode, payload, masked=True):
    """One final frame; a client's is masked, an origin's is not."""
    n, key = len(payload), os.urandom(4) if masked else b""
    size = struct.pack("!B", n) if n < 126 else struct.pack("!BH", 126, n) if n < 65536 else struct.pack("!BQ", 127, n)
    return bytes([0x80 | opcode, size[0] | (0x80 if masked else 0)]) + size[1:] + key + unmask(payload, key)


def read_frame(reader):
    """(opcode, unmasked payload, whether it was masked) of the next frame, which must be final."""
    first, second = reader.exact(2)
    n = second & 0x7F
    n = struct.unpack("!H" if n == 126 else "!Q", reader.exact(2 if n == 126 else 8))[0] if n >= 126 else n
    key = reader.exact(4) if second & 0x80 else b""
    return first ^ 0x80, unmask(reader.exact(n), key), key != b""


def websocket(sock, origin):
    """An origin that keeps the head and each frame it reads in `received`, answers 101 and its welcome
    in one write, echoes every message and the close, then ends."""
    reader = Reader(sock)
    origin.received.append(reader.until(b"\r\n\r\n"))
    sock.sendall(SWITCH + frame(TEXT, WELCOME, masked=False))
    while True:
        opcode, payload, masked = read_frame(reader)
        origin.received.append((opcode, brief(payload), masked))
        sock.sendall(frame(opcode, payload, masked=False))
        if opcode == CLOSE:
            return


def converse(test, reader, send, request):
    """The request head with the first message in one write, the 101, the welcome and that echo, then the rest
    in one write, their echoes and the origin's end; returns what the origin must have read after the head."""
    send(request + frame(*MESSAGES[0]))
    test.assertEqual(reader.until(b"\r\n\r\n"), SWITCH)
    got = [read_frame(reader), read_frame(reader)]
    send(b"".join(frame(*message) for message in MESSAGES[1:]))
    got += [read_frame(reader) for _ in MESSAGES[1:]]
    test.assertEqual([(o, brief(p), m) for o, p, m in got],
                     [(o, brief(p), False) for o, p in [(TEXT, WELCOME), *MESSAGES]])
    test.assertEqual(reader.rest(), b"")
    return [(opcode, brief(payload), True) for opcode, payload in MESSAGES]


def upgrade_head(target, host, *lines):
    return head("GET", target, b"Host: " + host, *lines)


class Upgrade(ProxyTest):
    options = ("-a", CREDENTIALS.decode(), "-b", temp_file("blocked.invalid\n"))

    def assert_described(self, *lines):
        """The proxy described exactly these requests, and no peer was timed out."""
        self.proxy.wait_for_line(lines[-1])
        self.assertEqual([l for l in self.proxy.output() if l.startswith("127.0.0.1:")], list(lines))
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)

    def test_websocket_through_forwarding_after_a_refusal_on_the_same_connection(self):
        """Missing or wrong credentials get exactly 407 (without a log line), a blacklisted host 404: none reaches
        the origin. The upgrade then reaches it in origin form with the Upgrade line, every Proxy* and Connection*
        line dropped and exactly one Connection line, the proxy's own, naming the option as the client spelled it."""
        cases = [  # (the client's Upgrade and connection lines, the Connection line the origin gets, a refusal:
            # (blacklisted host or None, credentials lines, the answer))
            ((b"Upgrade: websocket", b"Connection: keep-alive, Upgrade", b"Proxy-Connection: keep-alive"),
             b"Upgrade: websocket", b"Connection: Upgrade", (None, (), AUTH_REQUIRED)),
            ((b"connection: upgrade", b"upgrade: websocket", b"Connection-Extra: x"), b"upgrade: websocket",
             b"Connection: upgrade", (None, (b"Proxy-Authorization: Basic dXNlcjp4",), AUTH_REQUIRED)),
            ((b"Connection: keep-alive", b"Upgrade: websocket", b"CONNECTION: UpGrade , TE"),
             b"Upgrade: websocket", b"Connection: UpGrade", (b"blocked.invalid", (AUTH,), NOT_FOUND)),
        ]
        described = []
        for sent, upgrade_line, connection_line, (blocked, credentials, answer) in cases:
            with self.subTest(connection=sent), self.client() as c:
                origin = self.origin(websocket)
                host = b"127.0.0.1:%d" % origin.port
                url, refused = b"http://%s/chat?room=1" % host, b"http://%s/chat" % (blocked or host)
                c.send(upgrade_head(refused, blocked or host, *sent, *credentials, *WEBSOCKET))
                self.assertEqual(c.exact(len(answer)), answer)
                frames = converse(self, c, c.send, upgrade_head(url, host, *sent, AUTH, *WEBSOCKET, b"User-Agent: ws"))
                expected = upgrade_head(b"/chat?room=1", host, upgrade_line, *WEBSOCKET, b"User-Agent: ws",
                                        connection_line)
                self.assertEqual((origin.received, origin.connections), ([expected, *frames], 1))
                described += [c.described("GET", refused.decode())] * bool(blocked)
                described.append(c.described("GET", url.decode(), "ws"))
        self.assert_described(*described)
        self.assertIn("Blocked: blocked.invalid (blocked.invalid)", self.proxy.output())

    def test_wss_through_a_connect_tunnel(self):
        """The tunnel neither reads nor describes the request it carries."""
        origin = self.origin(over_tls(websocket))
        request = upgrade_head(b"/chat", b"localhost:%d" % origin.port, b"Connection: Upgrade", b"Upgrade: websocket",
                               *WEBSOCKET)
        client_side = ssl._create_unverified_context()
        with self.client() as c:
            c.tunnel(origin.port, f"Host: localhost:{origin.port}", AUTH, "User-Agent: ws/2", host="localhost")
            with client_side.wrap_socket(c.sock, server_hostname="localhost") as tls:
                frames = converse(self, Reader(tls), tls.sendall, request)
        self.assertEqual(origin.received, [request, *frames])
        self.assert_described(c.described("CONNECT", f"localhost:{origin.port}", "ws/2"))
