#!/usr/bin/env python3
"""Turns the benchmark's raw outputs (one file per measurement, target and
repetition, written by run.sh) into the Markdown results: a table of medians
with ratios of our proxy to the direct connection and to each peer, and the
targets our proxy is held to, each checked on ratios of the same run.

Usage: report.py RAW_DIR
"""

import json
import re
import statistics
import sys
from pathlib import Path

TARGETS = ["direct", "ours", "nginxproxy", "privoxy", "tinyproxy", "squid", "trafficserver"]
PEERS = ["nginxproxy", "privoxy", "tinyproxy", "squid", "trafficserver"]
TUNNELS = ["ours", "privoxy", "tinyproxy", "squid", "trafficserver"]  # nginx has no CONNECT
NAMES = {"direct": "direct", "ours": "ours", "nginxproxy": "nginx proxy", "privoxy": "privoxy",
         "tinyproxy": "tinyproxy", "squid": "squid", "trafficserver": "traffic server"}
FILE_SIZE = 10485760


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------- parsers

def to_ms(text):
    m = re.fullmatch(r"([\d.]+)(us|ms|s|m)", text)
    if not m:
        return None
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}[m.group(2)]
    return float(m.group(1)) * scale


def parse_wrk(path):
    """requests/s, p50 and p99 in ms, and errors (socket errors of every
    kind plus answers other than 2xx/3xx)."""
    if not path.exists():
        return None
    text = path.read_text(errors="replace")
    m = re.search(r"Requests/sec:\s+([\d.]+)", text)
    if not m:
        return None
    out = {"rps": float(m.group(1)), "errors": 0, "read_errors": 0}
    for pct, key in (("50", "p50"), ("99", "p99")):
        lm = re.search(rf"^\s+{pct}%\s+(\S+)", text, re.M)
        out[key] = to_ms(lm.group(1)) if lm else None
    sm = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if sm:
        out["errors"] += sum(int(x) for x in sm.groups())
        out["read_errors"] = int(sm.group(2))
    nm = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    if nm:
        out["errors"] += int(nm.group(1))
    om = re.search(r"^listen_overflows (\d+)", text, re.M)
    out["overflows"] = int(om.group(1)) if om else None
    total = re.search(r"^\s*(\d+) requests in", text, re.M)
    cpu = re.search(r"^cpu_seconds ([\d.]+)", text, re.M)
    # CPU time per request served, in microseconds: the server's (and its
    # helpers') user and system time over the run, divided by the requests.
    out["cpu_us"] = float(cpu.group(1)) / int(total.group(1)) * 1e6 if cpu and total and int(total.group(1)) else None
    return out


def parse_ab(path):
    if not path.exists():
        return None
    text = path.read_text(errors="replace")
    m = re.search(r"Requests per second:\s+([\d.]+)", text)
    if not m:
        return None
    failed = re.search(r"Failed requests:\s+(\d+)", text)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", text)
    complete = re.search(r"Complete requests:\s+(\d+)", text)
    accepts = re.search(r"^origin_accepts (-?\d+)", text, re.M)
    # Connections the origin accepted during the run per request served: 1
    # where every request opens its own, near 0 where a proxy reuses them.
    per_request = (int(accepts.group(1)) / int(complete.group(1))
                   if accepts and complete and int(complete.group(1)) else None)
    return {"rps": float(m.group(1)),
            "errors": (int(failed.group(1)) if failed else 0) + (int(non2xx.group(1)) if non2xx else 0),
            "origin_per_request": per_request}


def parse_download(path):
    """MB/s (10^6 bytes) over every transfer, or None if any failed."""
    if not path.exists():
        return None
    size = seconds = 0.0
    lines = path.read_text(errors="replace").split()
    if not lines or len(lines) % 3:
        return None
    for i in range(0, len(lines), 3):
        n, t, code = lines[i:i + 3]
        if code != "200" or int(n) != FILE_SIZE:
            return None
        size += int(n)
        seconds += float(t)
    return size / seconds / 1e6 if seconds else None


def parse_json_lines(path):
    if not path.exists():
        return []
    out = []
    for line in path.read_text(errors="replace").splitlines():
        try:
            out.append(json.loads(line))
        except ValueError:
            pass
    return out


# ---------------------------------------------------------------- collection

class Results:
    def __init__(self, raw):
        self.raw = raw
        self.meta = dict(line.split("=", 1) for line in (raw / "meta").read_text().splitlines() if "=" in line)
        self.reps = int(self.meta["reps"])

    def per_rep(self, measurement, target, parser):
        return [parser(self.raw / f"{measurement}.{target}.{r}") for r in range(1, self.reps + 1)]

    def values(self, measurement, target, parser, field=None):
        """One value per repetition (None where it failed)."""
        out = []
        for v in self.per_rep(measurement, target, parser):
            if v is None or field is None:
                out.append(v)
            else:
                out.append(v.get(field) if isinstance(v, dict) else None)
        return out


def ratio_median(a, b):
    """Median over repetitions of a/b, each pair measured in the same
    repetition (interleaved, so drift between repetitions cancels)."""
    return median([x / y for x, y in zip(a, b) if x is not None and y not in (None, 0)])


# ---------------------------------------------------------------- formatting

def fmt(v, kind):
    if v is None:
        return "—"
    if kind == "rate":
        return f"{v:,.0f}"
    if kind == "ms":
        return f"{v:.2f}" if v < 10 else f"{v:.1f}" if v < 100 else f"{v:,.0f}"
    if kind == "mbs":
        return f"{v:,.0f}"
    if kind == "kib":
        return f"{v:,.1f}"
    if kind == "us":
        return f"{v:,.1f}"
    if kind == "count":
        return f"{v:,.0f}"
    if kind == "per":  # two decimals, or two significant digits below 0.1
        return f"{v:.2f}" if v >= 0.1 or v == 0 else f"{v:.2g}"
    return str(v)


def fmt_ratio(v):
    return "—" if v is None else f"{v:.2f}×"


def main():
    raw = Path(sys.argv[1])
    res = Results(raw)
    m = res.meta
    # Earlier builds of ours measured beside it: columns, and ratios ours/them,
    # but no peers.
    baselines = m.get("baselines", "").split()
    TARGETS.extend(baselines)
    TUNNELS.extend(baselines)
    NAMES.update({b: f"ours {b}" for b in baselines})
    compared = ["direct"] + PEERS + baselines
    rows = []  # (label, {target: per-rep values}, kind, ratios wanted)
    checks = []  # (target, required, measured, met)

    def row(label, per_target, kind, ratios=True, direct_from=None):
        cells = {t: median(v) for t, v in per_target.items()}
        if direct_from is not None:
            per_target = dict(per_target, direct=direct_from)
        out = {}
        if ratios:
            for other in compared:
                if "ours" in per_target and other in per_target:
                    out[other] = ratio_median(per_target["ours"], per_target[other])
        rows.append((label, cells, kind, out, direct_from))
        return out

    def check(label, required, measured, met):
        checks.append((label, required, measured, met))

    def ahead(label, ratios, higher):
        """Ours ahead of every peer on a row: above 1× where more is better, below where less is."""
        known = {p: ratios.get(p) for p in PEERS if ratios.get(p) is not None}
        worst = (min if higher else max)(known.values()) if known else None
        check(f"{label}: ours ahead of every peer", "> 1.00× each" if higher else "< 1.00× each", worst,
              worst is not None and (worst > 1 if higher else worst < 1))

    def at_least(label, measured, bound):
        check(label, f"≥ {bound:.2f}×", measured, measured is not None and measured >= bound)

    # keep-alive, 50 connections
    ka = {t: res.values("keepalive", t, parse_wrk) for t in TARGETS}
    ka_rps = {t: [v and v["rps"] for v in ka[t]] for t in TARGETS}
    r = row(f"Keep-alive 1 KiB, 50 connections (wrk, {m['d_keepalive']} s): requests/s", ka_rps, "rate")
    row("… p50 latency, ms", {t: [v and v["p50"] for v in ka[t]] for t in TARGETS}, "ms")
    ahead("Keep-alive 50 p99 latency", row("… p99 latency, ms", {t: [v and v["p99"] for v in ka[t]] for t in TARGETS},
                                           "ms"), higher=False)
    row("… errors (socket errors + non-2xx, per run)", {t: [v and v["errors"] for v in ka[t]] for t in TARGETS},
        "count", ratios=False)
    cpu = row("… CPU time per request (the server's CPU over the run ÷ requests served), µs",
              {t: [v and v["cpu_us"] for v in ka[t]] for t in TARGETS}, "us")
    ahead("CPU time per request", cpu, higher=False)
    ahead("Keep-alive 50 requests/s", r, higher=True)
    at_least("Keep-alive 50: ours vs direct", r.get("direct"), 0.80)

    # keep-alive over IPv6: client, proxy and origin on ::1 (the earlier builds and the peers are not measured)
    ka6 = {t: res.values("keepalive6", t, parse_wrk) for t in ("direct", "ours")}
    row(f"Keep-alive 1 KiB over ::1 (client, proxy and origin on ::1), 50 connections (wrk, {m['d_keepalive']} s): "
        "requests/s", {t: [v and v["rps"] for v in ka6[t]] for t in ka6}, "rate")

    # without keep-alive
    ab = {t: res.values("close", t, parse_ab) for t in TARGETS}
    r = row(f"No keep-alive 1 KiB, 50 concurrent (ab, {int(m['ab_n']):,} requests): requests/s",
            {t: [v and v["rps"] for v in ab[t]] for t in TARGETS}, "rate")
    row("… failed requests (per run)", {t: [v and v["errors"] for v in ab[t]] for t in TARGETS}, "count", ratios=False)
    row("… origin connections opened per request (connections the origin accepted ÷ requests served)",
        {t: [v and v["origin_per_request"] for v in ab[t]] for t in TARGETS}, "per", ratios=False)
    ahead("No keep-alive requests/s", r, higher=True)
    at_least("No keep-alive: ours vs the nginx forward proxy", r.get("nginxproxy"), 1.2)

    # downloads
    dl = {t: res.values("download", t, parse_download) for t in TARGETS}
    r = row(f"10 MiB download, {m['downloads']} in a row (curl -x): MB/s", dl, "mbs")
    ahead("10 MiB plain MB/s", r, higher=True)
    at_least("10 MiB plain: ours vs direct", r.get("direct"), 0.55)
    tun = {t: res.values("tunnel", t, parse_download) for t in TUNNELS}
    r = row("10 MiB download through CONNECT (curl -p -x): MB/s; direct column: plain", tun, "mbs",
            direct_from=dl["direct"])
    ahead("10 MiB CONNECT MB/s", r, higher=True)
    at_least("10 MiB CONNECT: ours vs direct (plain)", r.get("direct"), 0.55)

    # memory
    mem = {t: res.values("memory", t, lambda p: (parse_json_lines(p) or [None])[-1])
           for t in ["ours"] + PEERS + baselines}
    mem_conn = {t: [v and v.get("kib_per_conn_connected") for v in mem[t]] for t in mem}
    mem_req = {t: [v and v.get("kib_per_conn_after_request") for v in mem[t]] for t in mem}
    ahead("Memory per idle connection", row(f"Resident memory per idle client connection ({m['mem_n']} held, "
                                            "nothing sent): KiB", mem_conn, "kib"), higher=False)
    ahead("Memory per connection after a request", row("… after one keep-alive request on each: KiB", mem_req, "kib"),
          higher=False)
    ours_mem = median(mem_conn["ours"])
    check("Idle connection ≤ 4 KiB resident", "≤ 4 KiB", ours_mem, ours_mem is not None and ours_mem <= 4)

    # 1,000 connections
    c1k = {t: res.values("c1000", t, parse_wrk) for t in TARGETS}
    r = row(f"1,000 keep-alive connections (wrk, {m['d_1000']} s): requests/s",
            {t: [v and v["rps"] for v in c1k[t]] for t in TARGETS}, "rate")
    rp = row("… p99 latency, ms", {t: [v and v["p99"] for v in c1k[t]] for t in TARGETS}, "ms")
    errs = {t: [v and v["errors"] for v in c1k[t]] for t in TARGETS}
    row("… errors (per run)", errs, "count", ratios=False)
    row("… connections dropped from a full accept queue (kernel ListenOverflows, per run)",
        {t: [v and v["overflows"] for v in c1k[t]] for t in TARGETS}, "count", ratios=False)
    ahead("1,000 connections requests/s", r, higher=True)
    at_least("1,000 connections: ours vs direct", r.get("direct"), 0.65)
    ours_errs = [e for e in errs["ours"] if e is not None]
    check("1,000 connections: no errors", "0", max(ours_errs) if ours_errs else None,
          bool(ours_errs) and max(ours_errs) == 0 and len(ours_errs) == res.reps)
    ahead("1,000 connections p99 latency", rp, higher=False)

    # idle connections
    n = int(m["idle_n"])
    holds = {t: [(parse_json_lines(raw / f"idle_hold.{t}.{r}") or [{}])[-1] for r in range(1, res.reps + 1)]
             for t in TARGETS}
    base = {t: [v and v["rps"] for v in res.values("idle_base", t, parse_wrk)] for t in TARGETS}
    loaded = {t: [v and v["rps"] for v in res.values("idle_wrk", t, parse_wrk)] for t in TARGETS}

    def hold_field(field):
        return {t: [h.get(field) for h in holds[t]] for t in TARGETS}

    row(f"{n:,} idle connections: accepted by the server (sockets in /proc)", hold_field("accepted"), "count",
        ratios=False)
    ready = {t: [(parse_json_lines(raw / f"idle_hold.{t}.{r}") or [{}])[0].get("seconds")
                 for r in range(1, res.reps + 1)] for t in TARGETS}
    row("… seconds taken to open them (a window of 100 at a time)", ready, "ms", ratios=False)
    row("… still open after the run", hold_field("open_after"), "count", ratios=False)
    served = hold_field("served_after")
    row("… then answered one request each", served, "count", ratios=False)
    row(f"… keep-alive rate of 50 active (wrk, {m['d_idle']} s) without idle ones: requests/s", base, "rate")
    r = row(f"… the same beside {n:,} idle ones: requests/s", loaded, "rate")
    keep = {t: [x / y if x is not None and y else None for x, y in zip(loaded[t], base[t])] for t in TARGETS}
    row("… rate beside idle ones / rate without", keep, "ratio", ratios=False)
    ours_served = [s for s in served["ours"] if s is not None]
    check(f"{n:,} connections: all served", f"{n:,}", min(ours_served) if ours_served else None,
          len(ours_served) == res.reps and min(ours_served) == n)
    ours_keep = median(keep["ours"])
    check(f"{n:,} connections: rate ≥ half of the rate without", "≥ 0.50×", ours_keep,
          ours_keep is not None and ours_keep >= 0.5)

    # operations: reloads and a second process
    stall = {"ours": [(parse_json_lines(raw / f"reload.ours.{r}") or [{}])[-1] for r in range(1, res.reps + 1)]}
    row("Blacklist reload (100,000 lines, SIGHUP every 0.5 s), one client asking in a loop: slowest request, ms",
        {"ours": [v.get("with", {}).get("max_ms") for v in stall["ours"]]}, "ms", ratios=False)
    row("… the same without reloads, ms", {"ours": [v.get("without", {}).get("max_ms") for v in stall["ours"]]},
        "ms", ratios=False)
    worst_stall = max([v.get("with", {}).get("max_ms") for v in stall["ours"] if v.get("with")] or [None],
                      key=lambda x: -1 if x is None else x)
    check("Reload of 100,000 lines: slowest request < 50 ms", "< 50 ms", worst_stall,
          worst_stall is not None and worst_stall < 50)
    two_ka = [v and v["rps"] for v in res.values("two_keepalive", "ours", parse_wrk)]
    two_ab = [v and v["rps"] for v in res.values("two_close", "ours", parse_ab)]
    row("Two processes of ours on one port: keep-alive 50 connections, requests/s", {"ours": two_ka}, "rate",
        ratios=False)
    row("… / one process (keep-alive row above)", {"ours": [x / y if x and y else None for x, y in
                                                             zip(two_ka, ka_rps["ours"])]}, "ratio", ratios=False)
    row("… no keep-alive (ab), requests/s", {"ours": two_ab}, "rate", ratios=False)
    row("… / one process (no keep-alive row above)",
        {"ours": [x / y if x and y else None for x, y in zip(two_ab, [v and v["rps"] for v in ab["ours"]])]},
        "ratio", ratios=False)

    stopped = []
    for t in TARGETS:
        reasons = [h.get("stopped") for h in holds[t] if h.get("stopped") not in (None, "done")]
        if reasons:
            stopped.append(f"{t}: opening stopped early ({', '.join(sorted(set(reasons)))}) "
                           f"in {len(reasons)} of {res.reps} repetitions")

    # ---------------------------------------------------------------- output
    p = print
    p("# Benchmark results")
    p()
    p(f"Medians of {res.reps} interleaved repetition{'s' if res.reps > 1 else ''} "
      f"(direct, ours and each peer in turn), {m['date']}; run time {int(m['seconds']) // 60} min."
      + (" **QUICK mode: short runs, one repetition.**" if m.get("quick") == "1" else ""))
    p(f"Machine: {m['cores']} cores ({m['cpu']}), Linux {m['kernel']}; the origin (nginx {m['nginx']}, "
      f"1 worker), the proxies (nginx {m['nginx']} as a forward proxy with 1 worker, privoxy {m.get('privoxy')}, "
      f"tinyproxy {m['tinyproxy']}, squid {m['squid']}, traffic server {m.get('trafficserver')} with 1 network "
      f"thread) and the load generators "
      f"(wrk {m['wrk']}, ab, curl) all share those cores, on loopback. Absolute figures drift between "
      f"runs on such a machine; the ratios, each the median of per-repetition ratios, hold better.")
    p()
    p("| Measurement | " + " | ".join(NAMES[t] for t in TARGETS) + " | "
      + " | ".join(f"ours/{NAMES[t]}" for t in compared) + " |")
    p("|---|" + "---:|" * (len(TARGETS) + len(compared)))
    for label, cells, kind, ratios, direct_from in rows:
        def cell(t):
            if kind == "ratio":
                v = cells.get(t)
                return fmt_ratio(v) if t in cells else "n/a"
            if t == "direct" and direct_from is not None:
                return f"({fmt(median(direct_from), kind)})"
            return fmt(cells[t], kind) if t in cells else "n/a"
        p(f"| {label} | " + " | ".join(cell(t) for t in TARGETS) + " | "
          + " | ".join(fmt_ratio(ratios.get(t)) if ratios else "" for t in compared) + " |")
    p()
    p("Notes: MB/s is 10^6 bytes per second, summed over the transfers of one curl on one reused "
      "connection (or tunnel). Memory is (VmRSS after − before) / connections, summed over the server's "
      "processes, in a freshly started server. tinyproxy answers each request with the connection closed, so "
      "wrk counts a read error and reconnects for every tinyproxy request: its errors row is that, not "
      "failures; it holds no connection after an answer. The idle connections send nothing until the run "
      "is over, then each sends one request and closes after the answer; they come from 127.0.0.2 and up. "
      "Origin connections per request: the origin nginx's count of accepted connections (stub_status, "
      "read before and after the ab run, less the reading's own connection) ÷ ab's complete requests. "
      "A proxy that keeps origin connections open may reuse those left from the runs before, which "
      "this does not count; ab opens a few connections that send no request, so direct shows a hair "
      "above 1. "
      f"Descriptor limit {int(m['nofile']):,}."
      + "".join(f" {s}." for s in stopped))
    p()
    p("## Targets for our proxy")
    p()
    p("| Target | Required | Measured | Met |")
    p("|---|---:|---:|:---:|")
    for label, required, measured, met in checks:
        if measured is None:
            shown = "—"
        elif "KiB" in required:
            shown = f"{measured:.1f} KiB"
        elif "ms" in required:
            shown = f"{measured:.1f} ms"
        elif "×" in required:
            shown = fmt_ratio(measured)
        else:
            shown = f"{measured:,.0f}"
        p(f"| {label} | {required} | {shown} | {'yes' if met else '**no**'} |")


if __name__ == "__main__":
    main()
