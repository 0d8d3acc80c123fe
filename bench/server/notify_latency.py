#!/usr/bin/python3
"""Delivery latency of the server's webhook notifications: posts comments at
a steady RATE a second for SECONDS to the comment endpoint on PORT, each with
a text of its own, and receives the webhooks on HOOK_PORT in the same
process (one clock); for each comment acknowledged with 200, the time from
that 200 to its webhook's arrival. Prints how many comments were posted
and how many answered 200 (the other answers by status), p50 and p99 in
milliseconds and how many did not arrive within WAIT seconds of the last
post.

    notify_latency.py PORT HOOK_PORT [RATE] [SECONDS] [WAIT]
"""

import concurrent.futures
import http.client
import http.server
import json
import sys
import threading
import time
import urllib.parse


def main():
    port, hook_port = int(sys.argv[1]), int(sys.argv[2])
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 100
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 60
    wait = float(sys.argv[5]) if len(sys.argv) > 5 else 30
    acked, arrived, refused = {}, {}, {}
    lock = threading.Lock()

    class Hook(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            now = time.monotonic()
            text = json.loads(body)["text"]
            with lock:
                arrived.setdefault(text, now)
            self.send_response(204)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    web = http.server.ThreadingHTTPServer(("127.0.0.1", hook_port), Hook)
    threading.Thread(target=web.serve_forever, daemon=True).start()

    def post(text):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            conn.request("POST", "/Canon/comment.asp",
                         "CommentText=" + urllib.parse.quote(text),
                         {"Content-Type": "application/x-www-form-urlencoded"})
            status = conn.getresponse().status
            now = time.monotonic()
            with lock:
                if status == 200:
                    acked[text] = now
                else:
                    refused[status] = refused.get(status, 0) + 1
        except (OSError, http.client.HTTPException) as e:
            with lock:
                word = type(e).__name__
                refused[word] = refused.get(word, 0) + 1
        finally:
            conn.close()

    start = time.monotonic()
    total = int(rate * seconds)
    with concurrent.futures.ThreadPoolExecutor(max_workers=32) as pool:
        for n in range(total):
            delay = start + n / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            pool.submit(post, "latency-%d" % n)
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        with lock:
            if all(t in arrived for t in acked):
                break
        time.sleep(0.1)
    with lock:
        lat = sorted((arrived[t] - a) * 1000 for t, a in acked.items() if t in arrived)
        missing = sum(1 for t in acked if t not in arrived)
    def pct(p):
        return lat[min(len(lat) - 1, int(len(lat) * p / 100))] if lat else float("nan")
    print("notify_posted %d" % total)
    print("notify_acked %d" % len(acked))
    print("notify_refused %s" % (",".join("%s:%d" % kv for kv in sorted(refused.items(), key=str))
                                 or "-"))
    print("notify_missing %d" % missing)
    print("notify_p50_ms %.1f" % pct(50))
    print("notify_p99_ms %.1f" % pct(99))
    print("notify_max_ms %.1f" % (lat[-1] if lat else float("nan")))


if __name__ == "__main__":
    main()
