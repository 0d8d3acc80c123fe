"""The README's first command as a newcomer runs it: `bash scripts/run.sh` in
this tree, its state directory not made yet, the tool on a virtual display
with a window manager. A comment is typed in the tool's comment window as a
user types it (keys through the X server) and must reach the server that
run.sh started (`pelvoran-server comments list` shows it); closing the tool
must end run.sh and the server.

  first_run_test.py

Uses the folder `build` as run.sh does: run.sh builds what is missing there
and rebuilds the tool against the server it starts (in the test command,
one file and a link). Needs Xvfb, openbox and xdotool.
"""

import os
import secrets
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, os.pardir, "support"))
import suite_processes  # noqa: E402

# Generous: a loaded machine, a window manager and a tool that start cold.
WAIT_SECONDS = 60
# run.sh configures and builds before it starts anything.
BUILD_SECONDS = 600

SERVER = os.path.join(ROOT, "build", "server", "pelvoran-server")
MAIN_WINDOW = "Pelvoran(v"
COMMENT_WINDOW = "请填写您的意见或建议"
THANKS_BOX = "感谢"
FAILED_BOX = "发送失败"


class Run:
    """Xvfb, openbox and run.sh, in that order, with their output in one log."""

    def __init__(self, folder):
        self.dir = folder
        self.log = open(os.path.join(folder, "processes.log"), "wb")
        self.state = os.path.join(folder, "state")  # made by run.sh's server
        self.script = None

    def start(self):
        os.environ.pop("QT_QPA_PLATFORM", None)  # the test command's offscreen
        for name in ("HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME"):
            os.environ[name] = os.path.join(self.dir, name.lower())
            os.mkdir(os.environ[name], 0o700)
        read_end, write_end = os.pipe()
        # -noreset: the server stays up while clients come and go.
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as display:
            named = select.select([display], [], [], WAIT_SECONDS)[0]
            number = display.readline().strip() if named else ""
        if not number:
            raise AssertionError("Xvfb named no display:\n" + self.log_text())
        os.environ["DISPLAY"] = ":" + number
        ready = os.path.join(self.dir, "openbox-ready")
        openbox = self.spawn(["openbox", "--sm-disable",
                              "--startup", "touch " + shlex.quote(ready)])
        self.wait_until("openbox to manage the screen",
                        lambda: os.path.exists(ready) or openbox.poll() is not None)
        if not os.path.exists(ready):
            raise AssertionError("openbox did not start:\n" + self.log_text())
        self.script = self.spawn(["bash", os.path.join(ROOT, "scripts", "run.sh")],
                                 env=dict(os.environ, PELVORAN_RUN_STATE=self.state))

    def spawn(self, argv, **kwargs):
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                                stderr=self.log, **kwargs)

    def log_text(self):
        self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_until(self, what, condition, seconds=WAIT_SECONDS):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            if self.script is not None and self.script.poll() is not None:
                break
            time.sleep(0.2)
        raise AssertionError("waited in vain for %s; what ran said:\n%s" %
                             (what, self.log_text()[-6000:]))

    def wait_for_focus(self, title, seconds=WAIT_SECONDS):
        """Waits until the window with the keyboard is the one called
        `title` (or starting with it)."""
        self.wait_until("the keyboard to go to " + title,
                        lambda: (focused_title() or "").startswith(title), seconds)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          timeout=WAIT_SECONDS)


def focused_title():
    shown = xdotool("getwindowfocus", "-f", "getwindowname")
    return shown.stdout.strip() if shown.returncode == 0 else None


def window_shown(title):
    return xdotool("search", "--onlyvisible", "--name", title).returncode == 0


def comments(state):
    listed = subprocess.run([SERVER, "comments", "list", "--state", state], capture_output=True,
                            text=True, timeout=WAIT_SECONDS)
    return listed.stdout if listed.returncode == 0 else ""


def keys(*names):
    xdotool("key", "--delay", "50", *names).check_returncode()


def newcomer(run):
    run.start()
    run.wait_for_focus(MAIN_WINDOW, BUILD_SECONDS)
    keys("Tab", "Tab", "Tab", "space")  # the code box, 查询生产日期, 帮助, 留言
    run.wait_for_focus(COMMENT_WINDOW)
    text = "first run " + secrets.token_hex(4)
    xdotool("type", "--delay", "50", text).check_returncode()
    keys("Tab", "space")  # 发送
    run.wait_until("the comment in comments list, or the tool's " + FAILED_BOX,
                   lambda: text in comments(run.state) or window_shown(FAILED_BOX))
    if text not in comments(run.state):
        raise AssertionError("the tool said %s; what ran said:\n%s" %
                             (FAILED_BOX, run.log_text()[-6000:]))
    run.wait_for_focus(THANKS_BOX)
    keys("Return")
    run.wait_for_focus(MAIN_WINDOW)
    keys("alt+F4")  # openbox closes the window, and the tool ends
    run.wait_until("run.sh to end with the tool", lambda: run.script.poll() is not None)
    if run.script.returncode != 0:
        raise AssertionError("run.sh ended with status %d:\n%s" %
                             (run.script.returncode, run.log_text()[-6000:]))
    # admin-url answers 1 when no server runs on the state directory.
    after = subprocess.run([SERVER, "admin-url", "--state", run.state], capture_output=True,
                           timeout=WAIT_SECONDS)
    if after.returncode != 1:
        raise AssertionError("the server still runs after the tool closed")


def main():
    suite_processes.own_descendants(__file__)
    folder = tempfile.mkdtemp(prefix="pelvoran-first-run-")
    try:
        newcomer(Run(folder))
    except AssertionError as e:
        print("FAILED: scripts/run.sh on a first start: %s" % e)
        return 1
    finally:
        suite_processes.end_descendants()
        shutil.rmtree(folder, ignore_errors=True)
    print("scripts/run.sh on a first start: the comment reached the server.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
