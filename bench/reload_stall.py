#!/usr/bin/env python3
"""How long a blacklist reload (SIGHUP) holds up other clients: one client asks
through the proxy in a loop on a keep-alive connection, first for a while
without reloads, then while the proxy is sent SIGHUP every 0.5 s (it reads
its -b files again each time). Prints one JSON line: the slowest request and
the 99th percentile in each phase, in ms, and how many reloads completed
(size lines are not seen here; the proxy's log goes elsewhere).

Usage: reload_stall.py --connect HOST:PORT --target URL --pid PID [--seconds S] [--reloads N]
"""

import argparse, json, os, signal, socket, statistics, time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--connect", required=True)
    ap.add_argument("--target", required=True)
    ap.add_argument("--pid", type=int, required=True)
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--reloads", type=int, default=6)
    a = ap.parse_args()
    host, port = a.connect.rsplit(":", 1)
    sock = socket.create_connection((host, int(port)), 10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    request = f"GET {a.target} HTTP/1.1\r\nHost: bench\r\n\r\n".encode()
    buf = b""

    def ask():
        nonlocal buf
        start = time.perf_counter()
        sock.sendall(request)
        while True:
            head_end = buf.find(b"\r\n\r\n")
            if head_end >= 0:
                length = int(next(l.split(b":")[1] for l in buf[:head_end].split(b"\r\n")
                                  if l.lower().startswith(b"content-length:")))
                if len(buf) >= head_end + 4 + length:
                    buf = buf[head_end + 4 + length:]
                    return (time.perf_counter() - start) * 1000
            chunk = sock.recv(1 << 16)
            if not chunk:
                raise EOFError("the proxy closed the connection")
            buf += chunk

    def phase(seconds, reloads):
        times, end, next_signal, sent = [], time.time() + seconds, time.time(), 0
        while time.time() < end or sent < reloads:
            if sent < reloads and time.time() >= next_signal:
                os.kill(a.pid, signal.SIGHUP)
                sent += 1
                next_signal += 0.5
            times.append(ask())
        times.sort()
        return {"max_ms": round(times[-1], 2), "p99_ms": round(times[int(len(times) * 0.99)], 2),
                "median_ms": round(statistics.median(times), 3), "requests": len(times)}

    for _ in range(200):  # warm-up
        ask()
    print(json.dumps({"without": phase(a.seconds, 0), "with": phase(a.seconds, a.reloads), "reloads": a.reloads}))


if __name__ == "__main__":
    main()
