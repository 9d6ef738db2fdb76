#!/usr/bin/env python3
"""Opens many client connections to a proxy (or straight to the origin) and
holds them idle, for the benchmark's connection-count measurements.

Two modes, each printing one JSON object per line on stdout:

  memory  Resident memory per idle client connection. Reads the server's
          VmRSS (summed over the process and its descendants), opens COUNT
          connections that send nothing, reads it again, then sends one
          complete keep-alive request on each, reads every answer and reads
          it a third time. Everything happens within a few seconds, well
          inside the proxy's 10 s idle time-out.

  hold    Opens COUNT connections that send nothing, checks in /proc that
          the server accepted them, prints a "ready" line and keeps them idle
          until SIGUSR1 arrives (or --hold-seconds pass). It then counts how
          many are still open and sends one request on each, reading the
          answer and closing the connection (so the check itself never holds
          more than a window of origin connections), and exits.
          Idle connections need one descriptor each in the server where a
          served keep-alive connection needs two in a proxy; this keeps
          10,000 within a hard descriptor limit of 20,000 on machines where
          even root may not raise it.

Client sockets are spread over several loopback source addresses
(127.0.0.2, 127.0.0.3, ...) so that 10,000 of them never run short of
ephemeral ports. Every wait is bounded.
"""

import argparse
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time
import urllib.parse

# Linux: let connect() pick the source port, so a bound source address does
# not reserve a port of its own for every socket.
IP_BIND_ADDRESS_NO_PORT = 24

# Connections opened but not yet accepted (or requests sent but not yet
# answered) at any one time. It stays below the servers' accept backlogs
# (128 for the smallest), so no SYN is dropped.
WINDOW = 100


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("mode", choices=["memory", "hold"])
    p.add_argument("--connect", required=True, help="HOST:PORT to connect to (the proxy, or the origin)")
    p.add_argument("--target", required=True, help="URL requested, e.g. http://127.0.0.1:18100/1k")
    p.add_argument("--proxy-form", action="store_true", help="send the absolute URL as the request target")
    p.add_argument("--count", type=int, default=500)
    p.add_argument("--sources", type=int, default=1,
                   help="number of source addresses 127.0.0.2 ... to spread the clients over")
    p.add_argument("--pid", type=int, help="server process (its tree) whose memory and descriptors are read")
    p.add_argument("--hold-seconds", type=float, default=60.0, help="longest hold (hold mode)")
    p.add_argument("--timeout", type=float, default=30.0, help="longest time to open (or serve) all connections")
    p.add_argument("--max-rss-mib", type=int, default=0,
                   help="stop opening connections once the server's resident memory passes this (0: no cap)")
    return p.parse_args()


def tree_pids(root):
    """The process and all of its descendants."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces: the fields after it follow the last ')'.
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(name))
    pids, todo = [], [root]
    while todo:
        pid = todo.pop()
        pids.append(pid)
        todo.extend(children.get(pid, []))
    return pids


def vm_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def socket_count(root):
    """Open sockets of the process tree (threads share their process's table)."""
    n = 0
    for pid in tree_pids(root):
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                        n += 1
                except OSError:
                    pass
        except OSError:
            pass
    return n


def accept_queue(port):
    """Connections waiting in the accept queue of the loopback listener on
    port, read from the kernel's socket diagnostics (as `ss -lt` shows in
    Recv-Q), or 0 if no such listener is found."""
    netlink_sock_diag, sock_diag_by_family, nlmsg_done, tcp_listen = 4, 20, 3, 10
    # inet_diag_req_v2: family, protocol, extensions, pad, state mask, and an
    # all-zero socket id (no filter: the few listeners are scanned here).
    req = struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP, 0, 0, 1 << tcp_listen) + bytes(48)
    msg = struct.pack("=IHHII", 16 + len(req), sock_diag_by_family, 0x301, 1, 0) + req  # REQUEST|DUMP
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, netlink_sock_diag) as nl:
        nl.send(msg)
        queued = 0
        while True:
            data = nl.recv(65536)
            off = 0
            while off + 16 <= len(data):
                length, kind = struct.unpack_from("=IH", data, off)
                if kind == nlmsg_done or length < 16:
                    return queued
                body = off + 16
                # inet_diag_msg: 4 bytes of family/state/timer/retrans, the
                # socket id (source port first, big-endian), expires, rqueue.
                if struct.unpack_from(">H", data, body + 4)[0] == port:
                    queued = struct.unpack_from("=I", data, body + 56)[0]
                off += (length + 3) & ~3
            if not data:
                return queued


class Client:
    """One held connection and the answer being read on it."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""
        self.need = None  # total bytes of the answer once its head is read
        self.ok = False
        self.answered = False  # a complete 200 came in

    def feed(self, data):
        """Takes received bytes; True once the whole answer is in."""
        self.buf += data
        if self.need is None:
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                return False
            head = self.buf[:end].decode("latin-1").split("\r\n")
            length = 0
            for line in head[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value.strip())
            self.ok = head[0].split(" ")[1:2] == ["200"]
            self.need = end + 4 + length
        return len(self.buf) >= self.need


def open_socket(host, port, index, sources):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if sources > 1:
        s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
        s.bind((f"127.0.0.{2 + index % sources}", 0))
    s.setblocking(False)
    try:
        s.connect((host, port))
    except BlockingIOError:
        pass
    return s


class Server:
    """The measured server's process tree (as it was at start), read through /proc."""

    def __init__(self, pid):
        self.pids = tree_pids(pid) if pid else []

    def rss_kib(self):
        return sum(vm_rss_kib(pid) for pid in self.pids)


def open_idle(host, port, count, sources, deadline, server, max_rss_kib):
    """COUNT connected sockets that have sent nothing. They are opened a
    window at a time, and the next window waits until the server's accept
    queue is empty again, so its backlog never overflows. Stops early at the deadline or when the
    server's resident memory passes max_rss_kib. Returns (sockets, why)."""
    sel = selectors.DefaultSelector()
    socks = []
    why = "done"
    while len(socks) < count:
        if time.monotonic() >= deadline:
            why = "deadline"
            break
        if max_rss_kib and server.rss_kib() > max_rss_kib:
            why = f"server resident memory passed {max_rss_kib // 1024} MiB"
            break
        batch = [open_socket(host, port, len(socks) + i, sources) for i in range(min(WINDOW, count - len(socks)))]
        for s in batch:
            sel.register(s, selectors.EVENT_WRITE)
        pending = len(batch)
        while pending and time.monotonic() < deadline:
            for key, _ in sel.select(timeout=0.5):
                sel.unregister(key.fileobj)
                pending -= 1
        for s in batch:
            if pending:
                try:
                    sel.unregister(s)
                except KeyError:
                    pass
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                socks.append(s)
            else:
                s.close()
        # Let the server accept this window before opening the next one.
        wait_until = min(deadline, time.monotonic() + 2.0)
        while accept_queue(port) > 0 and time.monotonic() < wait_until:
            time.sleep(0.001)
    sel.close()
    return socks, why


def serve_all(socks, request, deadline, close_after):
    """Sends the request on every socket and reads every answer, keeping at
    most WINDOW unanswered. Returns the sockets whose answer was a complete
    200 (all of them closed when close_after is set); the others are closed."""
    sel = selectors.DefaultSelector()
    todo = list(socks)
    todo.reverse()
    served, busy = [], 0
    while time.monotonic() < deadline:
        while busy < WINDOW and todo:
            s = todo.pop()
            sel.register(s, selectors.EVENT_WRITE, Client(s))
            busy += 1
        if busy == 0:
            break
        for key, events in sel.select(timeout=0.5):
            c = key.data
            done = False
            try:
                if events & selectors.EVENT_WRITE:
                    # The request is small enough to go out at once.
                    c.sock.send(request)
                    sel.modify(c.sock, selectors.EVENT_READ, c)
                    continue
                data = c.sock.recv(65536)
                if not data:
                    done = True
                elif c.feed(data):
                    done = True
                    if c.ok:
                        served.append(c.sock)
                        c.answered = True
            except OSError:
                done = True
            if done:
                sel.unregister(c.sock)
                busy -= 1
                if close_after or not c.answered:
                    c.sock.close()
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    for s in todo:
        s.close()
    sel.close()
    return served


def still_open(socks):
    """Sockets whose peer has not closed them (nothing to read, no EOF)."""
    n = 0
    for s in socks:
        try:
            if s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT):
                n += 1  # unexpected bytes, but still open
        except BlockingIOError:
            n += 1
        except OSError:
            pass
    return n


def main():
    a = parse_args()
    host, port = a.connect.rsplit(":", 1)
    port = int(port)
    url = urllib.parse.urlsplit(a.target)
    path = a.target if a.proxy_form else (url.path or "/")
    request = f"GET {path} HTTP/1.1\r\nHost: {url.netloc}\r\n\r\n".encode()
    deadline = time.monotonic() + a.timeout
    server = Server(a.pid)
    max_rss_kib = a.max_rss_mib * 1024

    if a.mode == "memory":
        rss0, sock0 = server.rss_kib(), socket_count(a.pid)
        socks, why = open_idle(host, port, a.count, a.sources, deadline, server, max_rss_kib)
        time.sleep(1.0)  # let a thread-per-connection server start its threads
        rss1, sock1 = server.rss_kib(), socket_count(a.pid)
        served = serve_all(socks, request, deadline, close_after=False)
        time.sleep(1.0)
        rss2, sock2 = server.rss_kib(), socket_count(a.pid)
        print(json.dumps({
            "count": a.count, "connected": len(socks), "stopped": why, "served": len(served),
            "open_after": still_open(served),
            "rss_kib": [rss0, rss1, rss2], "server_sockets": [sock0, sock1, sock2],
            "kib_per_conn_connected": (rss1 - rss0) / max(1, len(socks)),
            "kib_per_conn_after_request": (rss2 - rss0) / max(1, len(socks)),
        }), flush=True)
        for s in served:
            s.close()
        return 0

    # hold: wait for SIGUSR1 synchronously, so it cannot be lost before the wait.
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
    start = time.monotonic()
    sock0 = socket_count(a.pid) if a.pid else 0
    socks, why = open_idle(host, port, a.count, a.sources, deadline, server, max_rss_kib)
    accepted = socket_count(a.pid) - sock0 if a.pid else None
    print(json.dumps({"ready": True, "count": a.count, "connected": len(socks), "accepted": accepted,
                      "stopped": why, "rss_kib": server.rss_kib(),
                      "seconds": round(time.monotonic() - start, 2)}), flush=True)
    got = signal.sigtimedwait([signal.SIGUSR1], a.hold_seconds)
    idle_seconds = round(time.monotonic() - start, 2)
    alive = still_open(socks)
    served = serve_all(socks, request, time.monotonic() + a.timeout, close_after=True)
    print(json.dumps({"count": a.count, "connected": len(socks), "accepted": accepted, "stopped": why,
                      "open_after": alive, "served_after": len(served), "signalled": got is not None,
                      "held_seconds": idle_seconds,
                      "seconds": round(time.monotonic() - start, 2)}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
