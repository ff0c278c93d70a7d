#!/usr/bin/env python3
"""Load and abuse of the reference fusion service, on 127.0.0.1 only.

Runs a service program (build/fusion_service/quorv-fusion-service by default)
as a child process and measures, each phase bounded in time and bytes:
  - requests/s with and without keep-alive, at 8 and 200 clients;
  - the worst latency of a valid client while 8 slowloris and 200 silent
    connections are open;
  - the service's RSS above idle while a 1 GiB chunked body is sent (from a
    generator, never a file), a gzip bomb, and a header flood;
  - each byte reproducer of tests/data/regress/service_*.http: answers, time,
    and peak RSS of a fresh service;
  - whether a second service can bind the port of a running one;
  - with --quorv, a whole `quorv upscale` run against the service, quiet and
    while 8 slowloris and 200 silent connections from another process stay
    open: wall time, exit status and tiles not fused.

    bench/fusion_service/service_load.py [--binary PATH] [--seconds 3]
"""

import argparse
import json
import os
import pathlib
import selectors
import shlex
import socket
import subprocess
import tempfile
import threading
import time
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOKEN = "bench-token"
BODY = json.dumps({"index": 3, "row": 1, "col": 1, "x_start": 48, "y_start": 40, "width_inc": 64, "height_inc": 64,
                   "upscalemultiplier": 2,
                   "grid_specs": [{"row": r, "col": c, "order": 2 * r + c, "x_start": 48 * c, "y_start": 40 * r,
                                   "width_inc": 64, "height_inc": 64} for r in range(2) for c in range(2)],
                   "last_row": 1, "last_col": 1}).encode()


def request(keep_alive=True, token=TOKEN):
    return (b"POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token.encode() +
            b"\r\nContent-Type: application/json\r\nContent-Length: " + str(len(BODY)).encode() + b"\r\n" +
            (b"" if keep_alive else b"Connection: close\r\n") + b"\r\n" + BODY)


class Service:
    """A service child process on a free port, with its RSS readable."""

    def __init__(self, binary, port=0):
        self.folder = tempfile.TemporaryDirectory()
        token_file = pathlib.Path(self.folder.name) / "token"
        token_file.write_text(TOKEN + "\n")
        self.process = subprocess.Popen([*shlex.split(binary), "--port", str(port), "--token-file", str(token_file)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if "http://" not in line:
            self.process.wait(timeout=5)
            raise RuntimeError("the service did not start: " + line + self.process.stderr.read())
        self.port = int(line.rsplit(":", 1)[1].strip().strip("/"))

    def status_kib(self, key):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def rss_mib(self):
        return self.status_kib("VmRSS") / 1024

    def peak_mib(self):
        return self.status_kib("VmHWM") / 1024

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.folder.cleanup()


class RssSampler:
    """The largest RSS of a process seen while the block runs (sampled every 5 ms)."""

    def __init__(self, service):
        self.service, self.peak, self.stopping = service, 0.0, False

    def __enter__(self):
        self.thread = threading.Thread(target=self.sample)
        self.thread.start()
        return self

    def sample(self):
        while not self.stopping:
            self.peak = max(self.peak, self.service.rss_mib())
            time.sleep(0.005)

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join()


def connect(port, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_responses(s, count, limit):
    """Statuses of up to `count` responses, reading until `limit` seconds pass or the peer closes."""
    data, statuses, end = b"", [], time.monotonic() + limit
    while len(statuses) < count and time.monotonic() < end:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            head = data[:head_end].decode("latin-1")
            length = 0
            for line in head.split("\r\n")[1:]:
                if line.lower().startswith("content-length:"):
                    length = int(line.split(":")[1])
            if len(data) >= head_end + 4 + length:
                statuses.append(int(head[9:12]))
                data = data[head_end + 4 + length:]
                continue
        s.settimeout(max(0.01, end - time.monotonic()))
        try:
            chunk = s.recv(65536)
        except (socket.timeout, OSError):
            break
        if not chunk:
            break
        data += chunk
    return statuses


def throughput(port, clients, keep_alive, seconds):
    """Completed requests per second of `clients` concurrent clients (one selector thread)."""
    selector = selectors.DefaultSelector()
    message = request(keep_alive)
    done = 0

    def open_client():
        s = socket.socket()
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        selector.register(s, selectors.EVENT_WRITE, {"out": message, "in": b""})

    for _ in range(clients):
        open_client()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, events in selector.select(timeout=0.1):
            s, state = key.fileobj, key.data
            try:
                if events & selectors.EVENT_WRITE:
                    sent = s.send(state["out"])
                    state["out"] = state["out"][sent:]
                    if not state["out"]:
                        selector.modify(s, selectors.EVENT_READ, state)
                    continue
                chunk = s.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                chunk = b""
            if not chunk:
                selector.unregister(s)
                s.close()
                open_client()
                continue
            state["in"] += chunk
            head_end = state["in"].find(b"\r\n\r\n")
            if head_end < 0:
                continue
            length = int(state["in"].split(b"Content-Length: ")[1].split(b"\r\n")[0])
            if len(state["in"]) < head_end + 4 + length:
                continue
            done += 1
            if keep_alive:
                state["in"], state["out"] = b"", message
                selector.modify(s, selectors.EVENT_WRITE, state)
            else:
                selector.unregister(s)
                s.close()
                open_client()
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    return done / seconds


def latency_under_attack(port, rounds=20):
    """Worst and median latency of valid requests while 8 slowloris and 200 silent connections stay open."""
    slow = []
    for _ in range(8):
        s = connect(port)
        s.send(b"POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        slow.append(s)
    silent = [connect(port) for _ in range(200)]
    latencies = []
    stop = threading.Event()

    def trickle():  # one header byte a second on every slowloris connection
        while not stop.wait(1.0):
            for s in slow:
                try:
                    s.send(b"X")
                except OSError:
                    pass

    trickler = threading.Thread(target=trickle)
    trickler.start()
    try:
        for _ in range(rounds):
            start = time.monotonic()
            try:
                with connect(port, timeout=10) as s:
                    s.sendall(request(keep_alive=False))
                    ok = read_responses(s, 1, 10) == [200]
            except OSError:
                ok = False
            latencies.append(time.monotonic() - start if ok else float("inf"))
            time.sleep(0.25)
    finally:
        stop.set()
        trickler.join()
        for s in slow + silent:
            s.close()
    latencies.sort()
    return latencies[-1], latencies[len(latencies) // 2]


class Attack:
    """8 slowloris connections (a header byte a second) and 200 silent ones, held while the block runs."""

    def __init__(self, port):
        self.port, self.stop = port, threading.Event()

    def __enter__(self):
        self.slow = [connect(self.port) for _ in range(8)]
        for s in self.slow:
            s.send(b"POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        self.silent = [connect(self.port) for _ in range(200)]
        self.thread = threading.Thread(target=self.trickle)
        self.thread.start()
        return self

    def trickle(self):
        while not self.stop.wait(1.0):
            for s in self.slow:
                try:
                    s.send(b"X")
                except OSError:
                    pass

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        for s in self.slow + self.silent:
            s.close()


def tool_run(quorv, service, attacked):
    """A demo run of the tool against the service: (wall seconds, exit status, tiles not fused)."""
    with tempfile.TemporaryDirectory() as folder:
        token = pathlib.Path(folder) / "token"
        token.write_text(TOKEN + "\n")
        report = pathlib.Path(folder) / "run.json"
        command = [quorv, "upscale", str(ROOT / "data/coffee.png"), "-o", str(pathlib.Path(folder) / "out.png"),
                   "--processor", "demo", "--tile-size", "256", "--fusion-url", f"http://127.0.0.1:{service.port}/",
                   "--token-file", str(token), "--report", str(report), "-q"]
        start = time.monotonic()
        if attacked:
            with Attack(service.port):
                done = subprocess.run(command, capture_output=True, text=True)
        else:
            done = subprocess.run(command, capture_output=True, text=True)
        seconds = time.monotonic() - start
        unfused = len(json.loads(report.read_text())["fusion"]["unfused"]) if report.exists() else -1
        return seconds, done.returncode, unfused


def chunked_gigabyte(service):
    """Sends up to 1 GiB as a chunked body; the answer, the time, and the peak RSS above idle."""
    idle = service.rss_mib()
    chunk = b"10000\r\n" + b" " * 0x10000 + b"\r\n"
    start, sent = time.monotonic(), 0
    with RssSampler(service) as sampler, connect(service.port, timeout=30) as s:
        s.sendall(b"POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + TOKEN.encode() +
                  b"\r\nTransfer-Encoding: chunked\r\n\r\n")
        try:
            while sent < (1 << 30):
                s.sendall(chunk)
                sent += 0x10000
            s.sendall(b"0\r\n\r\n")
        except OSError:
            pass
        statuses = read_responses(s, 1, 30)
    return statuses, time.monotonic() - start, sampler.peak - idle, sent


def gzip_bomb(service):
    """1 GiB of spaces gzipped to about 1 MB, sent with Content-Encoding: gzip."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    block = b" " * (1 << 20)
    body = b"".join(compressor.compress(block) for _ in range(1024)) + compressor.flush()
    idle = service.rss_mib()
    start = time.monotonic()
    with RssSampler(service) as sampler, connect(service.port, timeout=30) as s:
        s.sendall(b"POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + TOKEN.encode() +
                  b"\r\nContent-Encoding: gzip\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n")
        try:
            s.sendall(body)
        except OSError:
            pass
        statuses = read_responses(s, 1, 30)
    return statuses, time.monotonic() - start, sampler.peak - idle, len(body)


def header_flood(service, connections=4, megabytes=64):
    """Each connection sends endless header lines, up to `megabytes`; the RSS peak and after."""
    idle = service.rss_mib()
    line = b"X-Flood: " + b"a" * 1000 + b"\r\n"
    with RssSampler(service) as sampler:
        sockets = [connect(service.port) for _ in range(connections)]
        for s in sockets:
            s.sendall(b"POST /blend_info.php HTTP/1.1\r\n")
        cut_off = 0
        for s in sockets:
            try:
                for _ in range(megabytes * 1024):
                    s.sendall(line)
            except OSError:
                cut_off += 1
        for s in sockets:
            s.close()
        time.sleep(0.5)
    return sampler.peak - idle, service.rss_mib() - idle, cut_off


def reproducers(binary):
    rows = []
    for path in sorted((ROOT / "tests/data/regress").glob("service_*.http")):
        service = Service(binary)
        start = time.monotonic()
        with connect(service.port) as s:
            s.sendall(path.read_bytes().replace(b"Bearer tok\r\n", b"Bearer " + TOKEN.encode() + b"\r\n"))
            statuses = read_responses(s, 3, 6)
        rows.append((path.name, statuses, time.monotonic() - start, service.peak_mib()))
        service.stop()
    return rows


def second_service(binary):
    first = Service(binary)
    try:
        second = subprocess.run([*shlex.split(binary), "--port", str(first.port)], capture_output=True, text=True, timeout=30)
        return f"exit {second.returncode}: {second.stderr.strip() or second.stdout.strip()}"
    except subprocess.TimeoutExpired:
        return "the second service started and served the same port"
    finally:
        first.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=str(ROOT / "build/fusion_service/quorv-fusion-service"),
                        help='the service command, e.g. "build/tools/quorv/quorv fusion-service"')
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each throughput run")
    parser.add_argument("--rounds", type=int, default=20, help="valid requests sent under attack")
    parser.add_argument("--quorv", help="the quorv program, for a whole run against the service under attack")
    args = parser.parse_args()

    if args.quorv:
        service = Service(args.binary)
        try:
            for attacked in (False, True):
                seconds, status, unfused = tool_run(args.quorv, service, attacked)
                print(f"quorv upscale coffee.png, demo, 256 tiles, {'under attack' if attacked else 'quiet       '}: "
                      f"{seconds:.2f} s, exit {status}, {unfused} tiles not fused")
        finally:
            service.stop()

    print("second service on the same port:", second_service(args.binary))
    service = Service(args.binary)
    try:
        for clients in (8, 200):
            for keep_alive in (True, False):
                rate = throughput(service.port, clients, keep_alive, args.seconds)
                print(f"throughput  {clients:3d} clients  keep-alive {'on ' if keep_alive else 'off'}  {rate:8.0f} requests/s")
        worst, median = latency_under_attack(service.port, args.rounds)
        print(f"valid client under 8 slowloris + 200 silent: worst {worst:.3f} s, median {median:.3f} s")
    finally:
        service.stop()
    for name, probe in (("1 GiB chunked body", chunked_gigabyte), ("gzip bomb", gzip_bomb)):
        service = Service(args.binary)
        try:
            statuses, seconds, above_idle, sent = probe(service)
            print(f"{name}: answers {statuses}, {seconds:.2f} s, {sent / 2**20:.0f} MiB sent, "
                  f"RSS peak {above_idle:.0f} MiB above idle")
        finally:
            service.stop()
    service = Service(args.binary)
    try:
        peak, after, cut_off = header_flood(service)
        print(f"header flood, 4 connections x 64 MiB: RSS peak {peak:.0f} MiB above idle, {after:.0f} MiB after, "
              f"{cut_off} of 4 cut off")
    finally:
        service.stop()
    for name, statuses, seconds, peak in reproducers(args.binary):
        print(f"reproducer {name:42s} answers {statuses}  {seconds:.2f} s  peak RSS {peak:.0f} MiB")


if __name__ == "__main__":
    main()
