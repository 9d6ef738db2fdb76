#!/usr/bin/env python3
"""What an origin's interim answers ("100 Continue" heads) cost a proxy, and
whether an origin flooding them can delay other clients. For each proxy
binary given (name=path, started here on a free loopback port, no options):

- CPU per interim head: one client asks 20,000 times on a keep-alive
  connection an origin that answers each request with 16 interim heads and a
  short final answer, then 20,000 times one that sends the final answer
  alone. The difference in the proxy's CPU time (user + system, from /proc)
  between the two runs, divided by the interim heads it read.
- A flood: 10 clients each ask an origin that sends nothing but interim
  heads (8 MB each, in 64 KiB writes) while another client asks a plain
  origin 50 times: that client's slowest answer, and the proxy's CPU time
  during the flood.

Prints one JSON line per proxy. Loopback only; everything started here is
stopped here.

Usage: interim_heads.py name=/path/to/proxy [name=/path ...]
"""

import json, os, socket, socketserver, subprocess, sys, threading, time

INTERIM = b"HTTP/1.1 100 Continue\r\n\r\n"
FINAL = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_head(sock, buf):
    while b"\r\n\r\n" not in buf:
        chunk = sock.recv(65536)
        if not chunk:
            raise EOFError
        buf += chunk
    at = buf.index(b"\r\n\r\n") + 4
    return buf[:at], buf[at:]


class Origin(socketserver.ThreadingTCPServer):
    daemon_threads = allow_reuse_address = True

    def __init__(self, answer):
        self.answer = answer
        super().__init__(("127.0.0.1", 0), None)
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def finish_request(self, sock, address):
        sock.settimeout(20)
        buf = b""
        try:
            while True:
                _, buf = read_head(sock, buf)
                self.answer(sock)
        except (OSError, EOFError):
            pass


def interim_then_final(sock):
    sock.sendall(INTERIM * 16 + FINAL)


def flood(sock):
    block, sent = INTERIM * (65536 // len(INTERIM)), 0
    while sent < 8 << 20:
        sock.sendall(block)
        sent += len(block)
    sock.close()


def plain(sock):
    sock.sendall(FINAL)


def cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ask(sock, request, buf, interim_expected):
    sock.sendall(request)
    while True:
        head, buf = read_head(sock, buf)
        if not head.startswith(b"HTTP/1.1 100"):
            break
    while len(buf) < 2:
        buf += sock.recv(65536)
    return buf[2:]


def measure(path):
    port = free_port()
    proc = subprocess.Popen([path, str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                break
            except OSError:
                time.sleep(0.05)
        n, used = 20000, []
        for answer in (interim_then_final, plain):
            origin = Origin(answer)
            request = f"GET http://127.0.0.1:{origin.server_address[1]}/ HTTP/1.1\r\nHost: x\r\n\r\n".encode()
            sock, buf = socket.create_connection(("127.0.0.1", port), 10), b""
            buf = ask(sock, request, buf, True)  # the origin connection is open and pooled from here on
            before = cpu(proc.pid)
            for _ in range(n):
                buf = ask(sock, request, buf, True)
            used.append(cpu(proc.pid) - before)
            sock.close()
        per_head_us = (used[0] - used[1]) / (n * 16) * 1e6

        flooding, victim = Origin(flood), Origin(plain)
        flood_request = f"GET http://127.0.0.1:{flooding.server_address[1]}/ HTTP/1.1\r\nHost: x\r\n\r\n".encode()

        def flooded():
            with socket.create_connection(("127.0.0.1", port), 30) as c:
                c.sendall(flood_request)
                try:
                    while c.recv(1 << 20):
                        pass
                except OSError:
                    pass

        threads = [threading.Thread(target=flooded) for _ in range(10)]
        before = cpu(proc.pid)
        for t in threads:
            t.start()
        time.sleep(0.2)
        request = f"GET http://127.0.0.1:{victim.server_address[1]}/ HTTP/1.1\r\nHost: x\r\n\r\n".encode()
        slowest, buf = 0.0, b""
        with socket.create_connection(("127.0.0.1", port), 60) as c:
            for _ in range(50):
                start = time.time()
                buf = ask(c, request, buf, False)
                slowest = max(slowest, time.time() - start)
                time.sleep(0.02)
        for t in threads:
            t.join(60)
        flood_cpu = cpu(proc.pid) - before
        return {"cpu_per_interim_head_us": round(per_head_us, 3), "flood_slowest_other_ms": round(slowest * 1000, 1),
                "flood_cpu_s": round(flood_cpu, 3)}
    finally:
        proc.terminate()
        proc.wait(10)


def main():
    for arg in sys.argv[1:]:
        name, path = arg.split("=", 1)
        print(json.dumps({"proxy": name, **measure(path)}), flush=True)


if __name__ == "__main__":
    main()
