"""Tunnels: CONNECT ("200" only for a tunnel that exists; https through one: the browser test) and WebSocket
through plain forwarding (after the origin's 101, the bytes written with the request head and with the 101
included). Every byte passes unchanged both ways, neither parsed nor described; refused upgrades reach no origin.

How connections end (tunnels and plain ones): a peer that shuts down its sending side has finished sending, not
left. What it sent is delivered, the other peer is shut down for that direction, and the other flows until it ends."""

import base64, os, socket, threading, time

from harness import (AUTH_REQUIRED, NOT_FOUND, TIMED_OUT, TUNNEL_OPEN, ProxyTest, Reader, brief, get, head, sha256,
                     temp_file)

CREDENTIALS = b"user:secret"
AUTH = b"Proxy-Authorization: Basic %s" % base64.b64encode(CREDENTIALS)
WEBSOCKET = (b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", b"Sec-WebSocket-Version: 13")
SWITCH = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
WELCOME = b"\x81\x07welcome"  # the origin's own first frame, written together with its 101
FIRST = b"\x81\x85" + os.urandom(9)  # a masked frame of 5 bytes, written together with the request head
REST = os.urandom(70000)  # what follows, more than fits in one segment


def websocket(sock, origin):
    """An origin that keeps the head in `received`, answers 101 and its welcome in one write, echoes the
    client's bytes as they come, then ends."""
    reader = Reader(sock)
    origin.received.append(reader.until(b"\r\n\r\n"))
    sock.sendall(SWITCH + WELCOME)
    reader.pipe(len(FIRST + REST), sock.sendall)


def upgrade_head(target, host, *lines):
    return head("GET", target, b"Host: " + host, *lines)


class Upgrade(ProxyTest):
    options = ("-a", CREDENTIALS.decode(), "-b", temp_file("blocked.invalid\n"))

    def test_websocket_through_forwarding_after_a_refusal_on_the_same_connection(self):
        """Missing credentials get exactly 407 (without a log line), a blacklisted host 404: none reaches the
        origin. The upgrade then reaches it in origin form with the Upgrade line, every Proxy* and Connection*
        line dropped and exactly one Connection line, the proxy's own, naming the option as the client spelled it."""
        cases = [  # (the client's Upgrade and connection lines, the Connection line the origin gets, a refusal:
            # (blacklisted host or None, credentials lines, the answer))
            ((b"Upgrade: websocket", b"Connection: keep-alive, Upgrade", b"Proxy-Connection: keep-alive"),
             b"Connection: Upgrade", (None, (), AUTH_REQUIRED)),
            ((b"Connection: keep-alive", b"upgrade: websocket", b"CONNECTION: UpGrade , TE", b"Connection-Extra: x"),
             b"Connection: UpGrade", (b"blocked.invalid", (AUTH,), NOT_FOUND)),
        ]
        described = []
        for sent, connection_line, (blocked, credentials, answer) in cases:
            with self.subTest(connection=sent), self.client() as c:
                origin = self.origin(websocket)
                host = b"127.0.0.1:%d" % origin.port
                url, refused = b"http://%s/chat?room=1" % host, b"http://%s/chat" % (blocked or host)
                c.send(upgrade_head(refused, blocked or host, *sent, *credentials, *WEBSOCKET))
                self.assertEqual(c.exact(len(answer)), answer)
                c.send(upgrade_head(url, host, *sent, AUTH, *WEBSOCKET, b"User-Agent: ws") + FIRST)
                self.assertEqual(c.exact(len(SWITCH + WELCOME + FIRST)), SWITCH + WELCOME + FIRST)
                c.send(REST)
                self.assertEqual(brief(c.exact(len(REST))), brief(REST))
                self.assertEqual(c.rest(), b"")
                upgrade_line = next(line for line in sent if line.lower().startswith(b"upgrade:"))
                expected = upgrade_head(b"/chat?room=1", host, upgrade_line, *WEBSOCKET, b"User-Agent: ws",
                                        connection_line)
                self.assertEqual((origin.received, origin.connections), ([expected], 1))
                described += [c.described("GET", refused.decode())] * bool(blocked)
                described.append(c.described("GET", url.decode(), "ws"))
        self.proxy.wait_for_line(described[-1])
        self.assertEqual([l for l in self.proxy.output() if l.startswith("127.0.0.1:")], described)
        self.assertEqual(self.proxy.count(TIMED_OUT), 0)
        self.assertIn("Blocked: blocked.invalid (blocked.invalid)", self.proxy.output())


class Tunnels(ProxyTest):
    def test_client_shutdown_passes_the_end_on_and_the_answer_still_flows(self):
        """Plain and tunnelled (3 MiB, more than socket buffers hold): the origin answers, in pieces,
        only once it has seen the end of what the client sent. The tunnel's client sends everything and its
        end right behind the CONNECT, before the tunnel is open. Only the CONNECT is described."""
        def answer_after_the_end(sock, origin):
            origin.received.append(data := Reader(sock).rest())
            sock.sendall(b"HTTP/1.1 200 OK\r\n\r\n")
            for _ in range(20):
                sock.sendall(sha256(data).digest() * 1000)

        origin = self.origin(answer_after_the_end)
        payload = head("GET", "http://127.0.0.1:1/") + bytes(range(256)) * (12 * 4096)  # a head: for the tunnel, bytes
        for tunnel, forwarded in ((False, head("GET", "/x", f"Host: 127.0.0.1:{origin.port}")), (True, payload)):
            with self.subTest(tunnel=tunnel), self.client() as c:
                c.send(head("CONNECT", f"127.0.0.1:{origin.port}") + payload if tunnel else get(origin.port, "/x"))
                c.sock.shutdown(socket.SHUT_WR)
                answer = b"HTTP/1.1 200 OK\r\n\r\n" + sha256(forwarded).digest() * 20000
                self.assertEqual(c.rest(), TUNNEL_OPEN + answer if tunnel else answer)
            self.assertEqual(origin.received[-1], forwarded)
        line = self.proxy.wait_for_line(c.described("CONNECT", f"127.0.0.1:{origin.port}"))
        self.assertEqual([l for l in self.proxy.output() if " HTTP/1.1 [" in l][-1:], [line])

    def test_tunnel_origin_shutdown_reaches_the_client_at_once_which_may_still_send(self):
        done = threading.Event()

        def origin_side(sock, origin):
            sock.sendall(b"greeting")
            sock.shutdown(socket.SHUT_WR)  # finished talking, still listening
            origin.received.append(Reader(sock).rest())
            done.set()

        origin, late = self.origin(origin_side), b"late words " * 100000
        with self.client() as c:
            start = time.time()
            c.tunnel(origin.port)
            self.assertEqual(c.rest(), b"greeting")  # then the end of the stream
            self.assertLess(time.time() - start, 3)  # not the proxy's 10 s idle time-out
            c.send(late)
            c.sock.shutdown(socket.SHUT_WR)
            self.assertTrue(done.wait(10))
            self.assertEqual(c.rest(), b"")
        self.assertEqual(origin.received, [late])
