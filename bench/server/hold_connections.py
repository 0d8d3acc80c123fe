#!/usr/bin/python3
"""Connections held open against pelvoran-server, for server_bench.sh.

  hold_connections.py slow --port P [--count 300] [--sources 10] [--checks 20]
      Opens COUNT connections spread over SOURCES loopback addresses
      (127.0.0.2, 127.0.0.3, ...), each sending a request head one byte a second
      and never finishing it. While they are open, times CHECKS update checks
      from 127.0.0.1, each on a fresh connection, and prints their median and
      maximum and how many of the slow connections were still open at the end.

  hold_connections.py idle --port P --pid PID [--count 1000] [--sources 20]
      Reads the server's VmRSS and VmHWM, opens COUNT connections that send
      nothing, waits until the server has taken them, reads the figures again
      and prints both, with the growth per connection; with --hold S, keeps
      them S seconds more and counts those the server has not closed.

Each run is bounded in time (every wait has a deadline) and talks to the given
port on loopback addresses only. Output is one "key value" pair per line.
"""

import argparse
import errno
import os
import select
import socket
import statistics
import sys
import threading
import time

CHECK_PATH = "/Canon/LensCheck.asp?Action=Check&D=2026-12-07%2010:00:00"


def source_address(index, sources):
    """127.0.0.2 .. 127.0.0.(1 + sources): never 127.0.0.1, kept for the timed checks."""
    return "127.0.0.%d" % (2 + index % sources)


def open_connections(port, count, sources, deadline):
    """Non-blocking connects from spread source addresses; returns the connected sockets."""
    pending = {}
    failed = 0
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((source_address(i, sources), 0))
            err = s.connect_ex(("127.0.0.1", port))
        except OSError:
            s.close()
            failed += 1
            continue
        if err not in (0, errno.EINPROGRESS):
            s.close()
            failed += 1
            continue
        pending[s.fileno()] = s
    connected = []
    poller = select.poll()
    for fd in pending:
        poller.register(fd, select.POLLOUT)
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(100):
            s = pending.pop(fd)
            poller.unregister(fd)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                connected.append(s)
            else:
                s.close()
                failed += 1
    for s in pending.values():
        s.close()
        failed += 1
    return connected, failed


def still_open(sockets):
    """Sockets the server has neither closed, reset nor answered."""
    alive = []
    for s in sockets:
        if s.fileno() < 0:
            continue
        readable, _, errored = select.select([s], [], [s], 0)
        if errored:
            continue
        if readable:
            try:
                if s.recv(1, socket.MSG_PEEK) == b"":
                    continue
            except OSError:
                continue
            continue  # an answer (408, 503, ...) ends the request too
        alive.append(s)
    return alive


def timed_check(port, timeout):
    """One update check on a fresh connection: (seconds, status or an error word)."""
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
               % (CHECK_PATH, port)).encode()
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                      source_address=("127.0.0.1", 0)) as s:
            s.settimeout(max(0.001, start + timeout - time.monotonic()))
            s.sendall(request)
            data = b""
            while True:
                s.settimeout(max(0.001, start + timeout - time.monotonic()))
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                head, sep, body = data.partition(b"\r\n\r\n")
                if sep:
                    length = None
                    for line in head.split(b"\r\n")[1:]:
                        name, _, value = line.partition(b":")
                        if name.strip().lower() == b"content-length":
                            length = int(value.strip())
                    if length is not None and len(body) >= length:
                        break
    except socket.timeout:
        return time.monotonic() - start, "timeout"
    except OSError as e:
        return time.monotonic() - start, "error:" + (errno.errorcode.get(e.errno, str(e.errno)))
    status = data.split(b" ", 2)[1].decode() if data.startswith(b"HTTP/") else "none"
    return time.monotonic() - start, status


def slow(args):
    head = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUser-Agent: slow-reader\r\nX-Padding: "
            % (CHECK_PATH, args.port)).encode()
    deadline = time.monotonic() + 10
    conns, failed = open_connections(args.port, args.count, args.sources, deadline)
    opened = len(conns)
    stop = threading.Event()
    lock = threading.Lock()
    broken = set()

    def drip():
        # One byte a second per connection, phases spread over the second; the
        # head runs into an endless header line once the prefix is out.
        sent = [0] * len(conns)
        step = 1.0 / max(1, len(conns))
        start = time.monotonic()
        tick = 0
        while not stop.is_set():
            for i, s in enumerate(conns):
                if stop.is_set():
                    break
                target = start + tick + i * step
                delay = target - time.monotonic()
                if delay > 0:
                    stop.wait(delay)
                if i in broken:
                    continue
                byte = head[sent[i]:sent[i] + 1] if sent[i] < len(head) else b"a"
                try:
                    with lock:
                        s.send(byte)
                    sent[i] += 1
                except OSError:
                    broken.add(i)
            tick += 1

    dripper = threading.Thread(target=drip, daemon=True)
    dripper.start()
    time.sleep(args.warmup)
    times = []
    results = {}
    for _ in range(args.checks):
        seconds, status = timed_check(args.port, args.timeout)
        times.append(seconds)
        results[status] = results.get(status, 0) + 1
        time.sleep(args.gap)
    with lock:
        alive = still_open([s for i, s in enumerate(conns) if i not in broken])
    stop.set()
    dripper.join(2)
    for s in conns:
        s.close()
    print("slow_requested %d" % args.count)
    print("slow_connected %d" % opened)
    print("slow_connect_failed %d" % failed)
    print("slow_open_at_end %d" % len(alive))
    print("check_count %d" % len(times))
    print("check_status %s" % ",".join("%s:%d" % kv for kv in sorted(results.items())))
    print("check_median_ms %.2f" % (statistics.median(times) * 1000))
    print("check_max_ms %.2f" % (max(times) * 1000))
    ok = results.get("200", 0) == len(times)
    return 0 if ok else 1


def memory(pid):
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                figures[name] = int(value.split()[0])  # kB
    return figures


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def idle(args):
    # Warm the server first so that what it sets up on the first request is not
    # counted as the connections' cost.
    seconds, status = timed_check(args.port, 5)
    if status != "200":
        print("warmup_status %s" % status)
    time.sleep(0.5)
    before = memory(args.pid)
    fds_before = descriptors(args.pid)
    deadline = time.monotonic() + 15
    conns, failed = open_connections(args.port, args.count, args.sources, deadline)
    # Connected on our side means in the server's listen queue: wait until the
    # server holds them (its descriptor count stops rising), at most 10 s.
    taken = 0
    last_change = time.monotonic()
    end = time.monotonic() + 10
    while time.monotonic() < end:
        now_taken = descriptors(args.pid) - fds_before
        if now_taken != taken:
            taken = now_taken
            last_change = time.monotonic()
        if taken >= len(conns) or time.monotonic() - last_change > 1.0:
            break
        time.sleep(0.05)
    time.sleep(args.settle)
    after = memory(args.pid)
    taken = descriptors(args.pid) - fds_before
    alive = still_open(conns)
    # Held on past the server's idle timeout, they should be closed by it.
    if args.hold > 0:
        time.sleep(args.hold)
        later = still_open(conns)
        print("idle_open_after_hold %d" % len(later))
        print("rss_after_hold_kb %d" % memory(args.pid)["VmRSS"])
    for s in conns:
        s.close()
    per = (after["VmRSS"] - before["VmRSS"]) * 1024.0 / max(1, taken)
    print("idle_requested %d" % args.count)
    print("idle_connected %d" % len(conns))
    print("idle_connect_failed %d" % failed)
    print("idle_server_fds_added %d" % taken)
    print("idle_open_at_end %d" % len(alive))
    print("rss_before_kb %d" % before["VmRSS"])
    print("rss_after_kb %d" % after["VmRSS"])
    print("hwm_before_kb %d" % before["VmHWM"])
    print("hwm_after_kb %d" % after["VmHWM"])
    print("rss_per_conn_bytes %.0f" % per)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    p = sub.add_parser("slow")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, default=300)
    p.add_argument("--sources", type=int, default=10)
    p.add_argument("--checks", type=int, default=20)
    p.add_argument("--warmup", type=float, default=3.0, help="seconds of dripping before the checks")
    p.add_argument("--gap", type=float, default=1.0, help="seconds between checks")
    p.add_argument("--timeout", type=float, default=5.0, help="limit of one check")
    p = sub.add_parser("idle")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--sources", type=int, default=20)
    p.add_argument("--settle", type=float, default=0.5, help="seconds before the second reading")
    p.add_argument("--hold", type=float, default=0.0,
                   help="seconds to keep them open after the reading, then count those still open")
    args = parser.parse_args()
    if args.sources < 1 or args.sources > 250:
        parser.error("--sources must be 1..250")
    return slow(args) if args.mode == "slow" else idle(args)


if __name__ == "__main__":
    sys.exit(main())
