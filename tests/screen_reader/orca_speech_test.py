"""What a blind user hears: the desktop tool on a virtual display with a
window manager, the AT-SPI bus and Orca, which writes all it says to its
debug log. Keys are typed through the X server as a user types them.

  orca_speech_test.py --app-driver EXE --decode EXE --server EXE

Runs itself again inside a private D-Bus session. Needs Debian's
/usr/bin/python3 (pyatspi) and Xvfb, openbox, orca and xdotool.
"""

import argparse
import http.cookiejar
import os
import re
import select
import shlex
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest
import urllib.parse
import urllib.request

import pyatspi

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import suite_processes  # noqa: E402
from pelvoran_server import ServerProcess  # noqa: E402

# Generous: the tool may be a sanitizer build on a busy machine, and Orca
# starts cold in a fresh session.
WAIT_SECONDS = 120


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app-driver", required=True)
    parser.add_argument("--decode", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--inside", action="store_true")
    return parser.parse_known_args()


ARGS, REST = parse_args()


def first_line(code):
    out = subprocess.run([ARGS.decode, code], capture_output=True, check=True,
                         timeout=WAIT_SECONDS).stdout
    return out.decode("utf-8").splitlines()[0]


class Session:
    """Xvfb, openbox, the AT-SPI bus, Orca and the tool, in that order."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="pelvoran-orca-")
        self.log = open(os.path.join(self.dir, "processes.log"), "wb")
        self.processes = []
        self.heard = bytearray()

    def start(self):
        for name in ("HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME"):
            os.environ[name] = os.path.join(self.dir, name.lower())
            os.mkdir(os.environ[name], 0o700)
        os.environ.pop("QT_QPA_PLATFORM", None)
        # No speech server: Orca logs what it would say all the same, and a
        # spawned speech-dispatcher with no sound device can keep it waiting.
        os.environ["SPEECHD_CMD"] = "/bin/false"
        read_end, write_end = os.pipe()
        # Without -noreset the server resets when its last client leaves,
        # and drops the connections still being set up: on a loaded machine
        # at-spi-bus-launcher came and went while openbox connected, openbox
        # ended ("Failed to open the display") and the test went on without
        # a window manager.
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as display:
            named = select.select([display], [], [], WAIT_SECONDS)[0]
            number = display.readline().strip() if named else ""
        if not number:
            raise RuntimeError("Xvfb named no display: " + self.log_text())
        os.environ["DISPLAY"] = ":" + number
        # The tool's windows open under the window manager, once it manages
        # the screen (it runs the --startup command then).
        ready = os.path.join(self.dir, "openbox-ready")
        openbox = self.spawn(["openbox", "--sm-disable",
                              "--startup", "touch " + shlex.quote(ready)])
        self.within(WAIT_SECONDS, lambda: os.path.exists(ready) or openbox.poll() is not None)
        if not os.path.exists(ready):
            raise RuntimeError("openbox did not start: " + self.log_text())
        self.spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        # Orca writes its debug log line by line only to a terminal.
        terminal, orca_side = os.openpty()
        tty.setraw(orca_side)
        threading.Thread(target=self.listen, args=(terminal,), daemon=True).start()
        self.spawn(["orca", "--debug-file=" + os.ttyname(orca_side)])
        self.wait_for_speech(lambda s: s, "Orca's first words")
        self.spawn([ARGS.app_driver, "http://127.0.0.1:1", "run"])

    def spawn(self, argv, **kwargs):
        self.processes.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                                               stderr=self.log, **kwargs))
        return self.processes[-1]

    def log_text(self):
        """What the processes have written so far."""
        self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def listen(self, terminal):
        with open(os.path.join(self.dir, "orca-debug.out"), "wb") as copy:
            while chunk := os.read(terminal, 65536):
                self.heard += chunk
                copy.write(chunk)

    def speech(self):
        """Everything Orca has said so far, one entry per utterance."""
        text = bytes(self.heard).decode("utf-8", "replace")
        return re.findall(r"SPEECH OUTPUT: '(.*?)'\s*\{", text, re.S)

    def wait_for_speech(self, condition, what):
        """Waits until `condition` holds of all Orca has said."""
        self.wait_until(lambda: condition(self.speech()), "Orca to speak " + what)

    def within(self, seconds, condition):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.1)
        return False

    def wait_until(self, condition, what):
        if self.within(WAIT_SECONDS, condition):
            return
        raise AssertionError("waited in vain for %s; Orca last said: %r" %
                             (what, self.speech()[-12:]))

    def said_after(self, count, words):
        """Waits until an utterance after the first `count` contains `words`."""
        self.wait_for_speech(lambda s: any(words in u for u in s[count:]), repr(words))

    def keys(self, *keys):
        subprocess.run(["xdotool", "key", "--delay", "30", *keys], check=True,
                       timeout=WAIT_SECONDS)

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "80", text], check=True,
                       timeout=WAIT_SECONDS)

    def keys_go_to(self, window):
        """Whether the keys typed now reach `window`, a window of the tool as
        screen readers see it: the X server sends them to the window with
        the input focus, which must be the tool's and of that size (not its
        place: xdotool's is off by the frame around a decorated window)."""
        if window is None:
            return False
        shown = subprocess.run(["xdotool", "getwindowfocus", "-f", "getwindowpid",
                                "getwindowgeometry", "--shell"], capture_output=True, text=True,
                               timeout=WAIT_SECONDS).stdout.split()
        focus = dict(word.split("=", 1) for word in shown if "=" in word)
        size = (int(focus.get("WIDTH", -1)), int(focus.get("HEIGHT", -1)))
        return shown[:1] == [str(self.processes[-1].pid)] and \
            size == tuple(window.queryComponent().getSize())


def sign_in(server):
    """An opener signed in to the server's admin pages, as the publisher is
    by the address `pelvoran-server admin-url` prints (once it names the
    listener the server reported)."""
    deadline = time.monotonic() + WAIT_SECONDS
    while not (url := server.command("admin-url").strip()).startswith(server.admin + "/?"):
        if time.monotonic() > deadline:
            raise AssertionError("admin-url prints %s; the server listens at %s" %
                                 (url, server.admin))
        time.sleep(0.1)
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(
        http.cookiejar.CookieJar()))
    opener.open(url, timeout=WAIT_SECONDS).read()
    return opener


def delivered(state, number):
    """Whether the server has counted the answer to comment `number` delivered."""
    db = sqlite3.connect("file:%s/comments.sqlite?mode=ro" % state, uri=True)
    try:
        return db.execute("SELECT count(*) FROM answers WHERE comment_id = ? AND delivered <> 0",
                          (number,)).fetchone()[0] == 1
    finally:
        db.close()


def answer_on_its_page(server, number, text):
    """Writes the publisher's answer to comment `number` on its admin page."""
    opener = sign_in(server)
    page = opener.open("%s/comment?id=%d" % (server.admin, number),
                       timeout=WAIT_SECONDS).read().decode()
    csrf = re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)
    form = urllib.parse.urlencode({"csrf": csrf, "id": number, "text": text}).encode()
    with opener.open(server.admin + "/comments/answer", form, timeout=WAIT_SECONDS) as reply:
        if reply.status != 200:
            raise AssertionError("the answer was not written: %d" % reply.status)


def focused():
    """What has the keyboard focus in the tool, as screen readers see it."""
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Pelvoran":
            return pyatspi.findDescendant(
                app, lambda o: o.getState().contains(pyatspi.STATE_FOCUSED))
    return None


def active_window(name):
    """The tool's window called `name` if it is the active one, as screen
    readers see it."""
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Pelvoran":
            for window in app:
                if window.name == name and window.getState().contains(pyatspi.STATE_ACTIVE):
                    return window
    return None


def focused_names():
    """What has the keyboard focus in each running tool."""
    names = []
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Pelvoran":
            found = pyatspi.findDescendant(
                app, lambda o: o.getState().contains(pyatspi.STATE_FOCUSED))
            names.append(found.name if found is not None else None)
    return names


def focused_name():
    found = focused()
    return found.name if found is not None else None


def box_text():
    found = focused()
    if found is None:
        return None
    box = found.queryText()
    return box.getText(0, box.characterCount)


class OrcaSpeechTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = Session()
        cls.addClassCleanup(cls.session.stop)
        cls.session.start()
        cls.session.said_after(0, "佳能镜头编号")

    def test_each_answer_is_spoken_and_the_focus_stays_in_the_code_box(self):
        s = self.session
        cases = [("UE0945", "UE0945"),        # a letter code
                 ("UE0945", ""),              # the same answer again
                 ("6831234567", "6831234567"),  # a serial
                 ("1234567", "1234567")]      # a wrong length
        for code, typed in cases:
            with self.subTest(code=code, again=not typed):
                if typed:
                    s.keys("ctrl+a", "BackSpace")
                    s.type(typed)
                    s.wait_until(lambda: box_text() == typed, "the code box to hold " + typed)
                count = len(s.speech())
                s.keys("Return")
                s.said_after(count, first_line(code))
                self.assertEqual(focused_name(), "佳能镜头编号")
        # Orca asks for the word where the cursor stands, here at the end.
        box = focused().queryText()
        self.assertEqual(tuple(box.getTextAtOffset(box.characterCount,
                                                   pyatspi.TEXT_BOUNDARY_WORD_START)),
                         ("1234567", 0, 7))

    def test_the_help_window_reads_its_name_and_text(self):
        s = self.session
        help_text = "编号为2位字母加3-4位数字或8/10位的数字"
        count = len(s.speech())
        s.keys("Tab", "Tab")
        s.said_after(count, "帮助")
        count = len(s.speech())
        s.keys("space")
        s.wait_for_speech(lambda said: any("帮助" in u and help_text in u for u in said[count:]),
                          "the help window's name and text")
        s.said_after(count, "确定")
        # Orca speaks of the window as the tool reports it active; the keys
        # go where the X server has the input focus, which the tool sets as
        # it activates the window.
        s.wait_until(lambda: s.keys_go_to(active_window("帮助")),
                     "the help window to be active and have the keyboard")
        closing = len(s.speech())
        s.keys("Return")  # OK closes it
        s.wait_until(lambda: focused_name() == "帮助", "the focus back on 帮助")
        # Orca speaks in the order things happened: once it has named the
        # button again, it has said all it had to of the help window.
        s.said_after(closing, "帮助")
        self.assertEqual(sum(help_text in u for u in s.speech()[count:]), 1, "read once")

    def test_the_publishers_answer_is_read_and_enter_closes_it(self):
        # A comment sent from the tool to the real server, answered on its
        # admin page: at the tool's next start the answer window opens with
        # the focus on the answer, whose box Orca names; Enter presses OK and
        # the server counts the answer delivered.
        s = self.session
        state = os.path.join(s.dir, "server")
        os.mkdir(state, 0o700)
        server = ServerProcess(ARGS.server, state)
        try:
            # "-DPELVORAN_ANSWER_KEY=…", then the key's fingerprint.
            key = server.command("key", "answer").splitlines()[0].split("=", 1)[1]
            # Sent by a tool of its own, off the screen, keeping its key
            # where the tool below finds it.
            subprocess.run([ARGS.app_driver, server.public, "comments"], timeout=WAIT_SECONDS,
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           env=dict(os.environ, QT_QPA_PLATFORM="offscreen",
                                    PELVORAN_DRIVER_COMMENTS="UE0945 是哪年的？"))
            answer = "这支镜头是1990年9月出厂的"
            answer_on_its_page(server, 1, answer)
            count = len(s.speech())
            s.spawn([ARGS.app_driver, server.public, "run"],
                    env=dict(os.environ, PELVORAN_DRIVER_ANSWER_KEY=key))
            s.said_after(count, "发布者的回复")
            s.said_after(count, answer)
            s.wait_until(lambda: "发布者的回复：" in focused_names(), "the focus on the answer")
            s.wait_until(lambda: s.keys_go_to(active_window("发布者的回复")),
                         "the answer window to be active and have the keyboard")
            s.keys("Return")
            s.wait_until(lambda: active_window("发布者的回复") is None,
                         "the answer window to close")
            s.wait_until(lambda: delivered(state, 1), "the server to count it delivered")
        finally:
            server.stop()


def main():
    if not ARGS.inside:
        # A private session bus, ended with everything started on it: the
        # services it and the accessibility bus start leave their parents,
        # and come to this process instead of init.
        suite_processes.own_descendants(__file__)
        argv = ["dbus-run-session", "--", sys.executable, *sys.argv, "--inside"]
        session = subprocess.Popen(argv, start_new_session=True)
        try:
            return session.wait(600)
        finally:
            suite_processes.end_descendants()  # whatever was left behind
    os.environ["LC_ALL"] = "C.UTF-8"
    if subprocess.run(["pgrep", "-u", str(os.getuid()), "-x", "orca"],
                      stdout=subprocess.DEVNULL).returncode == 0:
        print("Orca already runs for this user; a second one would refuse to start.")
        return 1
    return 0 if unittest.main(argv=[sys.argv[0], *REST], exit=False).result.wasSuccessful() \
        else 1


if __name__ == "__main__":
    sys.exit(main())
