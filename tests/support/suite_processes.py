"""Keeps every process a Python-driven suite starts, and every process those
start, in the suite's own process tree, and ends them all with the suite.

A suite calls own_descendants() first thing. From then on the suite's
process is their subreaper: a daemon that forks away from its parent
(dbus-daemon's activated services, a browser whose launcher ended) is
re-parented to the suite instead of init, so that ctest, which kills a
timed-out test's process and its descendants by their parent links, ends it
too. When the suite's process exits (tests passed, failed or raised), what
is still running below it is killed. A run that died without either (killed
alone, or crashed) is cleaned up by the next run of the same script, which
ends the processes carrying its marker whose suite process is gone.
"""

import atexit
import ctypes
import os
import signal
import time

PR_SET_CHILD_SUBREAPER = 36
# "SCRIPT PID START": the suite's script and its process, which every
# process it starts inherits through its environment.
OWNER = "PELVORAN_SUITE_OWNER"
# Generous: a sanitized program on a loaded machine takes a while to die.
END_SECONDS = 60


def _stat(pid):
    """(parent, state, start time) of `pid`, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return int(fields[1]), fields[0].decode(), int(fields[19])


def _pids():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def _owner_of(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            env = f.read().split(b"\0")
    except OSError:
        return None
    prefix = OWNER.encode() + b"="
    for entry in env:
        if entry.startswith(prefix):
            return entry[len(prefix):].decode(errors="replace")
    return None


def _descendants(root):
    """Every live (not zombie) process below `root`."""
    children = {}
    for pid in _pids():
        stat = _stat(pid)
        if stat is not None:
            children.setdefault(stat[0], []).append((pid, stat[1]))
    found, queue = [], [root]
    while queue:
        for pid, state in children.get(queue.pop(), []):
            queue.append(pid)
            if state != "Z":
                found.append(pid)
    return found


def _reap():
    """Collects the exit status of the suite's ended children (those of
    subprocess too: by now nothing waits on them)."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def _kill_until_gone(find):
    """Kills what `find` returns until it returns nothing; a process forked
    meanwhile is found the next round."""
    deadline = time.monotonic() + END_SECONDS
    while True:
        _reap()
        pids = find()
        if not pids:
            return
        if time.monotonic() > deadline:
            raise RuntimeError("processes that would not end: %s" % pids)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def end_descendants():
    """Kills every process still running below this one."""
    _kill_until_gone(lambda: _descendants(os.getpid()))


def _end_earlier_runs(script):
    """Ends the processes an earlier run of `script` left when it died."""
    def left():
        found = []
        for pid in _pids():
            owner = _owner_of(pid)
            if owner is None or pid == os.getpid():
                continue
            name, _, rest = owner.rpartition(" ")
            name, _, owner_pid = name.rpartition(" ")
            if name != script or not owner_pid.isdigit() or not rest.isdigit():
                continue
            stat = _stat(int(owner_pid))
            if stat is None or stat[2] != int(rest):
                found.append(pid)
        return found
    _kill_until_gone(left)


def own_descendants(script):
    """Makes this process the subreaper of all it starts, ends what an
    earlier, dead run of `script` left, marks this run's processes and ends
    them when this process exits (SIGTERM included)."""
    script = os.path.realpath(script)
    if ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    _end_earlier_runs(script)
    os.environ[OWNER] = "%s %d %d" % (script, os.getpid(), _stat(os.getpid())[2])
    atexit.register(end_descendants)

    def terminated(signum, frame):
        end_descendants()
        os._exit(128 + signum)
    signal.signal(signal.SIGTERM, terminated)
