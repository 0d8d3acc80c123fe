#!/usr/bin/python3
"""Connections held open against pelvoran-server, for server_bench.sh and
slow_clients.sh.

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

  hold_connections.py slots --port P [--sources 33] [--per-source 64] [--seconds 40]
      SOURCES x PER_SOURCE connections each send a request head a header line
      every 3 s and never finish it; one the server closes is opened again at
      once. Meanwhile an update check from 127.0.0.1 every second: how many
      were answered 200 within 5 s, their median and maximum, and how many of
      the slow connections were open at the end.

  hold_connections.py bodies --port P --pid PID [--count 512] [--seconds 30]
      COUNT connections each announce a comment of 1 MiB - 1 byte, send all of
      it but the last 100 bytes and then a byte every 5 s. Prints the server's
      VmRSS before, its peak (VmHWM) while they hold on, its VmRSS after they
      closed, and how many were refused at once (503) or cut off.

  hold_connections.py dribble --port P --pid PID --route check|comment
                             [--sources 32] [--per-source 64] [--seconds 60]
                             [--chunk 2560] [--every 2] [--ipv6]
      SOURCES x PER_SOURCE connections each send a head to ROUTE (the update
      check, or the comment route) announcing a body of 1 MiB, then CHUNK
      bytes of it every EVERY seconds (above the minimum rate), never
      finishing; one the server closes or answers is opened again. Meanwhile,
      from another address, an update check and a comment every second, each
      given 5 s: how many were answered 200, their median and maximum (those
      not answered count as 5 s), how many attacking connections were open
      (at the end, and the mean of one reading a second), and the server's
      VmRSS and VmHWM at the end. With --ipv6 the sources are 2001:db8:1:N::1
      (N = 0 .. SOURCES-1, one /59 for 32) and the other address
      2001:db8:2::1, all of which must be on the loopback device, and the
      server is reached at ::1.

  hold_connections.py readers --port P --pid PID --path PATH --size BYTES
                             [--count 1000] [--sources 20] [--rate 4096] [--seconds 20]
      COUNT connections, each with a small receive buffer, ask for the file
      at PATH (SIZE bytes) and read RATE bytes a second of it. Prints the
      server's VmRSS before, the most it reached while they read (read every
      half second) and its VmHWM after, how many answers began with 200, any
      other status, the connections closed before their file was whole and
      those still reading at the end. PID may be any server (nginx's worker).

  hold_connections.py downloads --port P --pid PID --path PATH --size BYTES
                             [--sources 32] [--per-source 64] [--rate 8192]
                             [--renew 0] [--seconds 60]
      SOURCES x PER_SOURCE connections each ask for the file at PATH (SIZE
      bytes) and read RATE bytes a second of it (0: never read); one the
      server closes, and with --renew S every one after S seconds, is opened
      again. Meanwhile, from 127.0.0.1, an update check every second, given
      5 s: how many were answered, how many of those within 1 s, their
      median and maximum; the connections the server held (its sockets,
      counted every second: mean and most), the downloads finished whole and
      those cut, and the server's VmRSS (at the end and the most, read every
      half second) and VmHWM.

With --reply FILE, an update check counts as answered (status "200") only
when its body is FILE's bytes, the release published; any other body is
"200-other". Each run is bounded in time (every wait has a deadline) and
talks to the given port on loopback addresses only. Output is one "key
value" pair per line.
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


def open_connections(port, count, sources, deadline, receive_buffer=0):
    """Non-blocking connects from spread source addresses; returns the connected sockets.
    A receive buffer (bytes) is set before the connect, so that the window is small."""
    pending = {}
    failed = 0
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        if receive_buffer:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
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


def readable(s, timeout):
    """Whether `s` has something to read (or has been closed) within `timeout` seconds;
    poll, since select() takes no descriptor past 1023."""
    p = select.poll()
    p.register(s.fileno(), select.POLLIN)
    return bool(p.poll(int(timeout * 1000)))


def still_open(sockets):
    """Sockets the server has neither closed, reset nor answered."""
    alive = []
    for s in sockets:
        if s.fileno() < 0:
            continue
        if readable(s, 0):
            try:
                if s.recv(1, socket.MSG_PEEK) == b"":
                    continue
            except OSError:
                continue
            continue  # an answer (408, 503, ...) ends the request too
        alive.append(s)
    return alive


def status_of(data, reply):
    """The status of the answer in `data`; "200-other" for a 200 whose body is
    not `reply` (when given)."""
    if not data.startswith(b"HTTP/"):
        return "none"
    status = data.split(b" ", 2)[1].decode()
    if status == "200" and reply is not None and data.partition(b"\r\n\r\n")[2] != reply:
        return "200-other"
    return status


def timed_check(port, timeout, reply=None):
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
    return time.monotonic() - start, status_of(data, reply)


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
        seconds, status = timed_check(args.port, args.timeout, args.reply)
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
    seconds, status = timed_check(args.port, 5, args.reply)
    if status != "200":
        print("warmup_status %s" % status)
        return 1
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


def readers(args):
    before = memory(args.pid)
    conns, failed = open_connections(args.port, args.count, args.sources,
                                     time.monotonic() + 15, receive_buffer=4096)
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % args.path).encode()
    reading = {}  # socket -> [head bytes until the blank line, body bytes read]
    for s in conns:
        try:
            s.send(request)
            reading[s] = [b"", 0]
        except OSError:
            failed += 1
            s.close()
    statuses = {}
    cut = whole = 0
    most = before["VmRSS"]
    share = max(1, int(args.rate / 4))  # a quarter second's bytes
    end = time.monotonic() + args.seconds
    next_look = time.monotonic()
    while reading and time.monotonic() < end:
        started = time.monotonic()
        for s, seen in list(reading.items()):
            try:
                data = s.recv(share)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if not data:
                cut += 1
                s.close()
                del reading[s]
                continue
            if seen[0] is not None:
                seen[0] += data
                if b"\r\n\r\n" not in seen[0]:
                    continue
                head, _, data = seen[0].partition(b"\r\n\r\n")
                status = status_of(head, None)
                statuses[status] = statuses.get(status, 0) + 1
                seen[0] = None
                if status != "200":
                    s.close()
                    del reading[s]
                    continue
            seen[1] += len(data)
            if seen[1] >= args.size:
                whole += 1
                s.close()
                del reading[s]
        if time.monotonic() >= next_look:
            most = max(most, memory(args.pid)["VmRSS"])
            next_look += 0.5
        time.sleep(max(0.0, 0.25 - (time.monotonic() - started)))
    after = memory(args.pid)
    for s in reading:
        s.close()
    print("readers_connected %d" % len(conns))
    print("readers_failed %d" % failed)
    print("readers_status %s" % (",".join("%s:%d" % kv for kv in sorted(statuses.items())) or "none"))
    print("readers_whole %d" % whole)
    print("readers_cut %d" % cut)
    print("readers_open_at_end %d" % len(reading))
    print("rss_before_kb %d" % before["VmRSS"])
    print("rss_most_kb %d" % max(most, after["VmRSS"]))
    print("hwm_after_kb %d" % after["VmHWM"])
    return 0


def slots(args):
    line = b"X-Slow: keep-waiting\r\n"
    head = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % (CHECK_PATH, args.port)).encode()
    count = args.sources * args.per_source
    conns, failed = open_connections(args.port, count, args.sources, time.monotonic() + 20)
    stop = threading.Event()
    lock = threading.Lock()
    reopened = [0]

    def source_of(i):
        return source_address(i, args.sources)

    def attack():
        for s in conns:
            try:
                s.send(head)
            except OSError:
                pass
        while not stop.is_set():
            started = time.monotonic()
            for i in range(len(conns)):
                if stop.is_set():
                    return
                s = conns[i]
                try:
                    if readable(s, 0) and s.recv(4096, socket.MSG_DONTWAIT) == b"":
                        raise OSError("closed")
                    s.send(line, socket.MSG_DONTWAIT)
                except OSError:
                    s.close()
                    n = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    try:
                        n.bind((source_of(i), 0))
                        n.settimeout(1)
                        n.connect(("127.0.0.1", args.port))
                        n.send(head)
                        with lock:
                            reopened[0] += 1
                    except OSError:
                        pass
                    conns[i] = n
            stop.wait(max(0.0, 3.0 - (time.monotonic() - started)))

    attacker = threading.Thread(target=attack, daemon=True)
    attacker.start()
    time.sleep(3)
    times, results = [], {}
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        seconds, status = timed_check(args.port, 5, args.reply)
        times.append(seconds)
        results[status] = results.get(status, 0) + 1
        time.sleep(max(0.0, 1.0 - seconds))
    alive = still_open([s for s in conns if s.fileno() >= 0])
    stop.set()
    attacker.join(5)
    for s in conns:
        s.close()
    print("slots_requested %d" % count)
    print("slots_connected %d" % (count - failed))
    print("slots_reopened %d" % reopened[0])
    print("slots_open_at_end %d" % len(alive))
    print("check_count %d" % len(times))
    print("check_status %s" % ",".join("%s:%d" % kv for kv in sorted(results.items())))
    print("check_median_ms %.2f" % (statistics.median(times) * 1000))
    print("check_max_ms %.2f" % (max(times) * 1000))
    return 0


def bodies(args):
    before = memory(args.pid)["VmRSS"]
    length = 1024 * 1024 - 1
    head = ("POST /Canon/comment.asp HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %d\r\n"
            "\r\n" % (args.port, length)).encode()
    # 100 bytes short, so that the bytes dripped later never complete it.
    body = b"CommentText=" + b"x" * (length - 12 - 100)
    conns, failed = open_connections(args.port, args.count, args.sources, time.monotonic() + 20)
    refused = 0
    held = []
    for s in conns:
        s.setblocking(True)
        s.settimeout(5)
        try:
            s.sendall(head)
            if readable(s, 0.05):
                refused += 1
                s.close()
                continue
            s.sendall(body)
            held.append(s)
        except OSError:
            refused += 1
            s.close()
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        time.sleep(5)
        for s in held:
            try:
                s.send(b"x", socket.MSG_DONTWAIT)
            except OSError:
                pass
    peak = memory(args.pid)["VmHWM"]
    during = memory(args.pid)["VmRSS"]
    alive = still_open(held)
    for s in conns:
        s.close()
    time.sleep(3)
    after = memory(args.pid)["VmRSS"]
    print("bodies_requested %d" % args.count)
    print("bodies_refused_at_once %d" % refused)
    print("bodies_held %d" % len(held))
    print("bodies_open_at_end %d" % len(alive))
    print("rss_before_kb %d" % before)
    print("rss_at_end_kb %d" % during)
    print("hwm_kb %d" % peak)
    print("rss_after_close_kb %d" % after)
    return 0


def probe(port, family, source, request, timeout, reply=None):
    """One request on a fresh connection from `source`: (seconds, status or an error word)."""
    start = time.monotonic()
    data = b""
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.bind((source, 0))
            s.connect(("::1" if family == socket.AF_INET6 else "127.0.0.1", port))
            s.sendall(request)
            while True:
                s.settimeout(max(0.001, start + timeout - time.monotonic()))
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except socket.timeout:
        return timeout, "timeout"
    except OSError as e:
        return time.monotonic() - start, "error:" + errno.errorcode.get(e.errno, str(e.errno))
    return time.monotonic() - start, status_of(data, reply)


def dribble(args):
    family = socket.AF_INET6 if args.ipv6 else socket.AF_INET
    server = "::1" if args.ipv6 else "127.0.0.1"
    if args.ipv6:
        sources = ["2001:db8:1:%x::1" % i for i in range(args.sources)]
        legit = "2001:db8:2::1"
    else:
        sources = [source_address(i, args.sources) for i in range(args.sources)]
        legit = "127.0.0.1"
    path = CHECK_PATH if args.route == "check" else "/Canon/comment.asp"
    method = "GET" if args.route == "check" else "POST"
    head = ("%s %s HTTP/1.1\r\nHost: pelvoran\r\nContent-Length: 1048576\r\n\r\n"
            % (method, path)).encode()
    if args.route == "comment":
        head += b"CommentText="
    chunk = b"x" * args.chunk
    count = args.sources * args.per_source
    # Each slot: [socket or None, connected, next drip time]
    slots = [[None, False, 0.0] for _ in range(count)]
    stop = threading.Event()
    held_readings = []
    reopened = [0]

    def reopen(i, now):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((sources[i % args.sources], 0))
            err = s.connect_ex((server, args.port))
        except OSError:
            s.close()
            return
        if err not in (0, errno.EINPROGRESS):
            s.close()
            return
        slots[i] = [s, False, now + (i % 100) * args.every / 100.0]

    def attack():
        started = time.monotonic()
        last_reading = started
        for i in range(count):
            reopen(i, started)
        while not stop.is_set():
            now = time.monotonic()
            poller = select.poll()
            by_fd = {}
            for i, (s, connected, _) in enumerate(slots):
                if s is None:
                    continue
                by_fd[s.fileno()] = i
                poller.register(s.fileno(), select.POLLIN | (0 if connected else select.POLLOUT))
            events = dict(poller.poll(0))
            held = 0
            for i, slot in enumerate(slots):
                s, connected, due = slot
                if s is None:
                    reopen(i, now)
                    reopened[0] += 1
                    continue
                ev = events.get(s.fileno(), 0)
                if ev & (select.POLLIN | select.POLLERR | select.POLLHUP):
                    s.close()  # answered, closed or reset: open another
                    slot[0] = None
                    continue
                if not connected:
                    if ev & select.POLLOUT:
                        if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                            s.close()
                            slot[0] = None
                            continue
                        try:
                            s.send(head)
                        except OSError:
                            s.close()
                            slot[0] = None
                            continue
                        slot[1] = True
                    continue
                held += 1
                if now >= due:
                    slot[2] = due + args.every
                    try:
                        s.send(chunk)
                    except BlockingIOError:
                        pass
                    except OSError:
                        s.close()
                        slot[0] = None
            if now - last_reading >= 1.0:
                held_readings.append(held)
                last_reading = now
            stop.wait(0.1)

    attacker = threading.Thread(target=attack, daemon=True)
    attacker.start()
    time.sleep(args.warmup)
    check = ("GET %s HTTP/1.1\r\nHost: pelvoran\r\nConnection: close\r\n\r\n"
             % CHECK_PATH).encode()
    results = {"check": [], "comment": []}
    end = time.monotonic() + args.seconds
    n = 0
    while time.monotonic() < end:
        round_start = time.monotonic()
        body = b"CommentText=bench %d" % n
        comment = (b"POST /Canon/comment.asp HTTP/1.1\r\nHost: pelvoran\r\nConnection: close"
                   b"\r\nContent-Length: %d\r\n\r\n" % len(body)) + body
        results["check"].append(probe(args.port, family, legit, check, 5.0, args.reply))
        results["comment"].append(probe(args.port, family, legit, comment, 5.0))
        n += 1
        time.sleep(max(0.0, 1.0 - (time.monotonic() - round_start)))
    figures = memory(args.pid)
    held_end = held_readings[-1] if held_readings else 0
    stop.set()
    attacker.join(5)
    for s, _, _ in slots:
        if s is not None:
            s.close()
    print("attack_connections %d" % count)
    print("attack_held_end %d" % held_end)
    print("attack_held_mean %.0f" % (statistics.mean(held_readings) if held_readings else 0))
    print("attack_reopened %d" % reopened[0])
    for kind in ("check", "comment"):
        times = [t for t, _ in results[kind]]
        ok = sum(1 for _, status in results[kind] if status == "200")
        others = {}
        for _, status in results[kind]:
            if status != "200":
                others[status] = others.get(status, 0) + 1
        print("%s_answered %d/%d" % (kind, ok, len(times)))
        print("%s_other %s" % (kind, ",".join("%s:%d" % kv for kv in sorted(others.items())) or "-"))
        print("%s_median_ms %.1f" % (kind, statistics.median(times) * 1000))
        print("%s_max_ms %.1f" % (kind, max(times) * 1000))
    print("rss_kb %d" % figures["VmRSS"])
    print("hwm_kb %d" % figures["VmHWM"])
    return 0


def sockets_of(pid):
    """How many sockets the process holds: its connections and listeners."""
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def downloads(args):
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % args.path).encode()
    count = args.sources * args.per_source
    # Each slot: [socket, connected, asked at, bytes read, head so far (None once in), body bytes]
    slots = [None] * count
    stop = threading.Event()
    tally = {"whole": 0, "cut": 0, "reopened": 0}
    statuses = {}
    held_readings = []

    def reopen(i, now):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((source_address(i, args.sources), 0))
            err = s.connect_ex(("127.0.0.1", args.port))
        except OSError:
            s.close()
            return
        if err not in (0, errno.EINPROGRESS):
            s.close()
            return
        slots[i] = [s, False, now, 0, b"", 0]

    def drop(i):
        slots[i][0].close()
        slots[i] = None

    def attack():
        started = time.monotonic()
        last_reading = started
        for i in range(count):
            reopen(i, started)
        while not stop.is_set():
            now = time.monotonic()
            poller = select.poll()
            for slot in slots:
                if slot is not None and not slot[1]:
                    poller.register(slot[0].fileno(), select.POLLOUT)
            events = dict(poller.poll(0))
            held = 0
            for i, slot in enumerate(slots):
                if slot is None:
                    reopen(i, now)
                    tally["reopened"] += 1
                    continue
                s = slot[0]
                if not slot[1]:
                    ev = events.get(s.fileno(), 0)
                    if ev & select.POLLOUT:
                        if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                            drop(i)
                            continue
                        try:
                            s.send(request)
                        except OSError:
                            drop(i)
                            continue
                        slot[1], slot[2] = True, now
                    elif ev:
                        drop(i)
                    continue
                held += 1
                if args.renew and now - slot[2] >= args.renew:
                    drop(i)
                    continue
                allowed = int(args.rate * (now - slot[2])) - slot[3]
                if allowed <= 0:
                    continue
                try:
                    data = s.recv(min(allowed, 65536))
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if not data:
                    tally["cut"] += 1
                    drop(i)
                    continue
                slot[3] += len(data)
                if slot[4] is not None:
                    slot[4] += data
                    if b"\r\n\r\n" not in slot[4]:
                        continue
                    head, _, data = slot[4].partition(b"\r\n\r\n")
                    status = status_of(head, None)
                    statuses[status] = statuses.get(status, 0) + 1
                    slot[4] = None
                    if status != "200":
                        drop(i)
                        continue
                slot[5] += len(data)
                if slot[5] >= args.size:
                    tally["whole"] += 1
                    drop(i)
            if now - last_reading >= 1.0:
                held_readings.append(held)
                last_reading = now
            stop.wait(0.1)

    attacker = threading.Thread(target=attack, daemon=True)
    attacker.start()
    time.sleep(3)
    times, results = [], {}
    server_held = []
    most = 0
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        round_start = time.monotonic()
        seconds, status = timed_check(args.port, 5, args.reply)
        times.append((seconds, status))
        results[status] = results.get(status, 0) + 1
        server_held.append(sockets_of(args.pid))
        most = max(most, memory(args.pid)["VmRSS"])
        time.sleep(max(0.0, 0.5 - (time.monotonic() - round_start)))
        most = max(most, memory(args.pid)["VmRSS"])
        time.sleep(max(0.0, 1.0 - (time.monotonic() - round_start)))
    figures = memory(args.pid)
    stop.set()
    attacker.join(5)
    for slot in slots:
        if slot is not None:
            slot[0].close()
    answered = [t for t, status in times if status == "200"]
    print("attack_connections %d" % count)
    print("attack_connected_mean %.0f" % (statistics.mean(held_readings) if held_readings else 0))
    print("attack_reopened %d" % tally["reopened"])
    print("server_sockets_mean %.0f" % statistics.mean(server_held))
    print("server_sockets_most %d" % max(server_held))
    print("downloads_status %s" % (",".join("%s:%d" % kv for kv in sorted(statuses.items())) or "none"))
    print("downloads_whole %d" % tally["whole"])
    print("downloads_cut %d" % tally["cut"])
    print("check_answered %d/%d" % (len(answered), len(times)))
    print("check_within_1s %d/%d" % (sum(1 for t in answered if t <= 1.0), len(times)))
    print("check_other %s" % (",".join("%s:%d" % kv for kv in sorted(results.items()) if kv[0] != "200") or "-"))
    print("check_median_ms %.1f" % (statistics.median(t for t, _ in times) * 1000))
    print("check_max_ms %.1f" % (max(t for t, _ in times) * 1000))
    print("rss_kb %d" % figures["VmRSS"])
    print("rss_most_kb %d" % max(most, figures["VmRSS"]))
    print("hwm_kb %d" % figures["VmHWM"])
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
    p = sub.add_parser("slots")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--sources", type=int, default=33)
    p.add_argument("--per-source", type=int, default=64)
    p.add_argument("--seconds", type=float, default=40)
    p = sub.add_parser("bodies")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--count", type=int, default=512)
    p.add_argument("--sources", type=int, default=8)
    p.add_argument("--seconds", type=float, default=30)
    p = sub.add_parser("dribble")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--route", choices=("check", "comment"), required=True)
    p.add_argument("--sources", type=int, default=32)
    p.add_argument("--per-source", type=int, default=64)
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--chunk", type=int, default=2560, help="bytes sent each time")
    p.add_argument("--every", type=float, default=2.0, help="seconds between chunks")
    p.add_argument("--warmup", type=float, default=3.0, help="seconds of attack before measuring")
    p.add_argument("--ipv6", action="store_true")
    p = sub.add_parser("readers")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--path", required=True)
    p.add_argument("--size", type=int, required=True, help="the file's bytes")
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--sources", type=int, default=20)
    p.add_argument("--rate", type=int, default=4096, help="bytes a second each reads")
    p.add_argument("--seconds", type=float, default=20)
    p = sub.add_parser("downloads")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--path", required=True)
    p.add_argument("--size", type=int, required=True, help="the file's bytes")
    p.add_argument("--sources", type=int, default=32)
    p.add_argument("--per-source", type=int, default=64)
    p.add_argument("--rate", type=int, default=8192, help="bytes a second each reads; 0: none")
    p.add_argument("--renew", type=float, default=0,
                   help="seconds after which each is replaced; 0: once closed")
    p.add_argument("--seconds", type=float, default=60)
    for p in sub.choices.values():
        if p.prog.split()[-1] not in ("bodies", "readers"):
            p.add_argument("--reply", type=argparse.FileType("rb"),
                           help="the update check's expected body")
    args = parser.parse_args()
    if getattr(args, "reply", None) is not None:
        with args.reply:
            args.reply = args.reply.read()
    if args.sources < 1 or args.sources > 250:
        parser.error("--sources must be 1..250")
    return {"slow": slow, "idle": idle, "slots": slots, "bodies": bodies,
            "dribble": dribble, "readers": readers, "downloads": downloads}[args.mode](args)


if __name__ == "__main__":
    sys.exit(main())
