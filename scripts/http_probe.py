#!/usr/bin/env python3
"""Probes dravik-host's status page (--http) on a simulated line.

Hostile mode (default): while the line runs, sends 1 MB headers, opens 1000
connections at once, asks for bad paths and methods, and holds slow clients
that send a byte a second; then checks that the line kept polling (reads of
PLC1 went on growing at the rate it had before) and that the page still
answers. CPU mode (--cpu): the CPU time dravik-host spends on a busy line (values
changing on every poll, a fifth of the replies failing and logged) without
--http, and with --http while 4 clients read /events and one reads /metrics
and /api/v1/tags every second.

Usage: scripts/http_probe.py [--build build/normal] [--cpu] [--seconds N]
"""
import argparse
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Line:
    """The simulator and dravik-host on a private ports folder."""

    def __init__(self, bin_dir, work, seconds, http, faults=()):
        self.port = free_port()
        sim = [f"{bin_dir}/dravik-plcsim", "--pty", "--ports-dir", work, "--com", "1",
               "--station", "1", "2", "--for", str(seconds + 10), "--animate"]
        for f in faults:
            sim += ["--fault", f]
        self.sim = subprocess.Popen(sim, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if os.path.exists(f"{work}/COM1"):
                break
            time.sleep(0.1)
        project = f"{work}/demo.dat"
        subprocess.run([f"{bin_dir}/dravik-project", "import",
                        f"{ROOT}/samples/demo_project.json", "-o", project],
                       check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, DRAVIKNET_PORTS=work, DRAVIKNET_CONFIG=f"{work}/none.conf")
        args = [f"{bin_dir}/dravik-host", "run", project, "--tags",
                f"{ROOT}/samples/demo_tags.csv", "--quiet", "--for", str(seconds)]
        if http:
            args += ["--http", f"127.0.0.1:{self.port}"]
        self.out = f"{work}/host.out"
        self.host = subprocess.Popen(args, env=env, stdin=subprocess.PIPE,
                                     stdout=open(self.out, "w"), stderr=subprocess.DEVNULL)
        time.sleep(1.5)

    def cpu_seconds(self):
        with open(f"/proc/{self.host.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mb(self):
        with open(f"/proc/{self.host.pid}/status") as f:
            for row in f:
                if row.startswith("VmRSS:"):
                    return int(row.split()[1]) / 1024
        return 0.0

    def get(self, path, timeout=5):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        c.request("GET", path)
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, body

    def reads(self):
        """PLC1's reads from the terminal's stats command: independent of the page."""
        self.host.stdin.write(b"stats PLC1\n")
        self.host.stdin.flush()
        time.sleep(0.3)
        with open(self.out) as f:
            rows = [r for r in f if "stats PLC1:" in r]
        return int(rows[-1].split("reads ")[1].split(" sent")[0])

    def stop(self):
        """Ends both; dravik-host's exit status (0 after SIGTERM unless a sanitizer spoke)."""
        for p in (self.host, self.sim):
            p.terminate()
            p.wait()
        return self.host.returncode


def raw(port, data, read=True, timeout=5):
    """Sends bytes on a new connection; the status line of the answer or what went wrong."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(data)
            if not read:
                return "sent"
            answer = s.recv(200).split(b"\r\n", 1)[0].decode(errors="replace")
            return answer or "closed without an answer"
    except OSError as e:
        return type(e).__name__


def hostile(line):
    port = line.port
    before = line.reads()
    t0 = time.time()
    time.sleep(3)
    rate_before = (line.reads() - before) / (time.time() - t0)
    print(f"reads of PLC1 before: {rate_before:.1f}/s")

    results = []
    big = b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n"
    results.append(("1 MB header", raw(port, big)))
    many = b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + b"X-A: b\r\n" * 20000 + b"\r\n"
    results.append(("20000 header lines", raw(port, many)))
    results.append(("1 MB body on POST", raw(port, b"POST /metrics HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + b"x" * 65536)))
    for path in ["/../../etc/passwd", "/%00", "/api/v1/nothing", "/" + "a" * 20000, "/events/x?y=%ZZ"]:
        results.append((f"GET {path[:30]}", raw(port, f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())))
    results.append(("garbage request line", raw(port, b"\x00\xff\xfe garbage\r\n\r\n")))
    results.append(("DELETE /metrics", raw(port, b"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n")))
    for name, answer in results:
        print(f"  {name:28s} -> {answer}")
    # cpp-httplib 0.11 reads a header line whole before it checks its length:
    # what one very long line costs in memory.
    rss0 = line.rss_mb()
    huge = raw(port, b"GET / HTTP/1.1\r\nX-Big: " + b"a" * (64 << 20) + b"\r\n\r\n", timeout=20)
    print(f"  64 MB header line          -> {huge}; RSS {rss0:.1f} -> {line.rss_mb():.1f} MB")

    # 1000 connections held open at once, plus 20 slow clients sending a byte a second.
    t0 = time.time()
    socks = []
    for _ in range(1000):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
    stop = threading.Event()

    def slow():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                for b in b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n":
                    if stop.is_set():
                        return
                    s.sendall(bytes([b]))
                    time.sleep(1)
        except OSError:
            pass

    slows = [threading.Thread(target=slow) for _ in range(20)]
    for t in slows:
        t.start()
    during0, d0 = line.reads(), time.time()
    time.sleep(6)
    rate_during = (line.reads() - during0) / (time.time() - d0)
    print(f"  reads of PLC1 during 1000 connections + 20 slow clients: {rate_during:.1f}/s")
    # While they hold on: is the page reachable at all?
    try:
        status, _ = line.get("/api/v1/stations", timeout=10)
        print(f"  page during the flood: HTTP {status} after {time.time() - t0:.1f} s")
    except OSError as e:
        print(f"  page during the flood: {type(e).__name__} (the pool is busy; the line is not)")
    stop.set()
    for s in socks:
        s.close()
    for t in slows:
        t.join()
    time.sleep(3)  # the server drops what is left after its read time-out
    t1 = time.time()
    after0 = line.reads()
    time.sleep(3)
    rate_after = (line.reads() - after0) / (time.time() - t1)
    status, _ = line.get("/")
    print(f"reads of PLC1 after the flood: {rate_after:.1f}/s; page: HTTP {status}; "
          f"dravik-host alive: {line.host.poll() is None}")
    ok = (line.host.poll() is None and status == 200 and rate_after > 0.5 * rate_before and
          rate_during > 0.5 * rate_before)
    # Every hostile request is refused with a 4xx, or the connection is cut
    # (a header too long to be a request is not worth an answer).
    refused = all(a.startswith("HTTP/1.1 4") or a in ("closed without an answer",
                  "ConnectionResetError", "BrokenPipeError") for _, a in results)
    return ok and refused


def cpu(bin_dir, seconds):
    rows = []
    for label, with_http in [("without --http", False), ("--http, 4 /events streams + /metrics 1/s", True)]:
        with tempfile.TemporaryDirectory() as work:
            # Values change on every poll and a fifth of the replies fail, each
            # with a log line: the page has something new all the time.
            line = Line(bin_dir, work, seconds + 5, with_http, faults=["checksum:0.2"])
            stop = threading.Event()
            threads = []
            if with_http:
                def stream():
                    c = http.client.HTTPConnection("127.0.0.1", line.port, timeout=30)
                    c.request("GET", "/events")
                    r = c.getresponse()
                    while not stop.is_set() and r.readline():
                        pass
                    c.close()

                def scrape():
                    while not stop.is_set():
                        line.get("/metrics")
                        line.get("/api/v1/tags")
                        time.sleep(1)
                threads = [threading.Thread(target=stream) for _ in range(4)] + [threading.Thread(target=scrape)]
                for t in threads:
                    t.start()
            c0, t0 = line.cpu_seconds(), time.time()
            time.sleep(seconds)
            c1, t1 = line.cpu_seconds(), time.time()
            stop.set()
            line.stop()
            for t in threads:
                t.join()
            rows.append((label, 100.0 * (c1 - c0) / (t1 - t0)))
    for label, share in rows:
        print(f"  {label:45s} {share:6.2f} % of a core")
    print(f"  the status page's share: {rows[1][1] - rows[0][1]:.2f} % of a core")
    return rows[1][1] - rows[0][1] < 1.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=f"{ROOT}/build/normal")
    ap.add_argument("--cpu", action="store_true")
    ap.add_argument("--seconds", type=int, default=30)
    a = ap.parse_args()
    bin_dir = f"{a.build}/bin"
    if a.cpu:
        ok = cpu(bin_dir, a.seconds)
    else:
        with tempfile.TemporaryDirectory() as work:
            line = Line(bin_dir, work, 60, True)
            try:
                ok = hostile(line)
            finally:
                status = line.stop()
            print(f"dravik-host exit status: {status}")
            ok = ok and status == 0
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
