"""`pelvoran-server serve` as the tests that are not C++ start it: the
browser's pages and what Orca says of the tool's windows."""

import os
import select
import signal
import subprocess
import time

# Generous: the server may be a sanitizer build on a busy machine.
START_SECONDS = 60
PROCESS_SECONDS = 120


class ServerProcess:
    """`pelvoran-server serve` on two free loopback ports, with its own state
    directory (a real SQLite file). Stop it with stop(), which returns its
    exit status."""

    def __init__(self, exe, state_dir, extra=()):
        self.exe = exe
        self.state = state_dir
        self.stderr_path = state_dir + ".stderr"
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [exe, "serve", "--state", state_dir, "--listen", "127.0.0.1:0",
             "--admin-listen", "127.0.0.1:0", *extra],
            stdout=subprocess.PIPE, stderr=self._stderr, stdin=subprocess.DEVNULL)
        lines = self._read_lines(2)
        ports = []
        for line in lines:
            prefix = "listening on 127.0.0.1:"
            if not line.startswith(prefix):
                self.stop()
                raise RuntimeError("unexpected start-up line %r; stderr: %s" %
                                   (line, self.stderr()))
            ports.append(int(line[len(prefix):]))
        self.public = "http://127.0.0.1:%d" % ports[0]
        self.admin = "http://127.0.0.1:%d" % ports[1]

    def _read_lines(self, count):
        out = b""
        end = time.monotonic() + START_SECONDS
        fd = self.process.stdout.fileno()
        while out.count(b"\n") < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.stop()
                raise RuntimeError("the server did not start; stderr: " + self.stderr())
            chunk = os.read(fd, 4096)
            if not chunk:
                self.stop()
                raise RuntimeError("the server ended at start; stderr: " + self.stderr())
            out += chunk
        return out.decode().splitlines()[:count]

    def command(self, *args):
        """Another pelvoran-server command on the same state directory."""
        return subprocess.run([self.exe, *args, "--state", self.state], capture_output=True,
                              text=True, timeout=PROCESS_SECONDS, check=True).stdout

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=PROCESS_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        self.process.stdout.close()
        self._stderr.close()
        return self.process.returncode
