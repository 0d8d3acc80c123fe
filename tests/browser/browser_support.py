"""The real pieces the browser tests drive: the server process with its state
directory, a headless Chromium through chromedriver, the desktop tool's
driver and the decoding CLI.

Runs under Debian's /usr/bin/python3, the one interpreter that imports
Debian's python3-selenium.
"""

import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from pelvoran_server import PROCESS_SECONDS, START_SECONDS, ServerProcess  # noqa: E402,F401
from suite_processes import own_descendants  # noqa: E402

# Chromium's headless shell: the browser's engine without the desktop
# browser around it, a third less processor time for the same pages. The
# executable itself, not Debian's /usr/bin script that starts it as its
# child: on quit, chromedriver kills the process it started, and killing the
# script left the browser running under init.
CHROMIUM = "/usr/lib/chromium/chromium-headless-shell"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Generous: the same tests run against a server built with the sanitizers
# (START_SECONDS and PROCESS_SECONDS with the server process).
STEP_SECONDS = 60
# How often a wait looks again: a page on loopback comes in milliseconds.
POLL_SECONDS = 0.02

# What the pages are tested with; a newer axe may bring new rules, so it
# changes only on purpose.
AXE_VERSION = "4.14.1"


def fetch(url, method="GET", headers=None):
    """A plain request outside the browser: (status, body text)."""
    request = urllib.request.Request(url, method=method, headers=headers or {})
    with urllib.request.urlopen(request, timeout=STEP_SECONDS) as reply:
        return reply.status, reply.read().decode()


def served_release(server, platform):
    """The update endpoint's reply to `platform`'s tools."""
    agent = "Pelvoran/1.05 (%s)" % platform.capitalize()
    return fetch(server.public + "/Canon/LensCheck.asp", headers={"User-Agent": agent})[1]


def wait_until_served(server, platform, version):
    """Waits until `server` offers `version` to `platform`'s tools: a
    running server takes a new release from its file a step later."""
    deadline = time.monotonic() + STEP_SECONDS
    while not served_release(server, platform).startswith(version + "[;]"):
        if time.monotonic() > deadline:
            raise AssertionError("the server never offered %s to %s tools" % (version, platform))
        time.sleep(0.1)


def start_browser():
    """Headless Chromium with a fresh profile (chromedriver's own, removed
    on quit: the headless shell does not start in one given to it) and no
    traffic of its own. The performance log carries the pages' HTTP statuses
    and headers; prompts stay open, so that a test can see an alert a page
    opened."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-quic",
                "--disable-extensions", "--lang=zh-CN",
                # A headless window is never in front: without these, its
                # timers and rendering are slowed as a hidden one's.
                "--disable-renderer-backgrounding", "--disable-background-timer-throttling",
                "--disable-backgrounding-occluded-windows",
                # One renderer, kept from page to page: a fresh one for each
                # page cost about a third of the browser's processor time.
                "--renderer-process-limit=1",
                "--disable-features=RenderDocument,BackForwardCache"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    options.set_capability("unhandledPromptBehavior", "ignore")
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(STEP_SECONDS)
    driver.set_script_timeout(STEP_SECONDS)
    return driver


def set_viewport(driver, width, height, mobile, scale=1):
    """An exact layout viewport, as on a phone of that size."""
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})


class DocumentResponse:
    def __init__(self, status, url, headers):
        self.status = status
        self.url = url
        self.headers = {k.lower(): v for k, v in headers.items()}


def forget_responses(driver):
    driver.get_log("performance")


def last_document_response(driver):
    """The last page (not its style sheet or picture) the browser received
    since the previous call, as the browser saw it."""
    found = None
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] != "Network.responseReceived":
            continue
        params = message["params"]
        if params.get("type") == "Document":
            r = params["response"]
            found = DocumentResponse(r["status"], r["url"], r["headers"])
    if found is None:
        raise AssertionError("the browser received no page")
    return found


def open_page(driver, url):
    forget_responses(driver)
    driver.get(url)
    return last_document_response(driver)


def submit(driver, button):
    """Clicks a submit button and waits for the page it leads to."""
    return after(driver, button.click)


def after(driver, action):
    """Runs `action` (a click, keys typed) and waits for the page it leads
    to."""
    forget_responses(driver)
    # The old page's window carries a mark; the next page's is a new one.
    driver.execute_script("window.pelvoranOldPage = true")
    action()
    # While the page changes, a script may find no document at all.
    WebDriverWait(driver, STEP_SECONDS, poll_frequency=POLL_SECONDS,
                  ignored_exceptions=[WebDriverException]).until(
        lambda d: d.execute_script(
            "return !window.pelvoranOldPage && document.readyState === 'complete'"))
    return last_document_response(driver)


def install_axe(directory):
    """axe-core from npm into `directory` (once); returns (version, source)."""
    package = os.path.join(directory, "node_modules", "axe-core")
    manifest = os.path.join(package, "package.json")
    installed = None
    if os.path.exists(manifest):
        with open(manifest) as f:
            installed = json.load(f).get("version")
    if installed != AXE_VERSION:
        os.makedirs(directory, exist_ok=True)
        subprocess.run(["npm", "install", "--prefix", directory, "--no-save", "--no-audit",
                        "--no-fund", "--no-package-lock", "axe-core@" + AXE_VERSION],
                       check=True, timeout=PROCESS_SECONDS, stdout=subprocess.DEVNULL)
    with open(os.path.join(package, "axe.min.js")) as f:
        return AXE_VERSION, f.read()


AXE_RUN = """
const done = arguments[arguments.length - 1];
axe.run(document).then(r => done({
    passes: r.passes.length,
    violations: r.violations.map(v => ({
        id: v.id, impact: v.impact,
        nodes: v.nodes.map(n => n.html + "  " + n.failureSummary)}))
})).catch(e => done({error: String(e)}));
"""


def add_page_script(driver, source):
    """Runs `source` in every page the browser opens from now on (before the
    page's own scripts, whatever its Content-Security-Policy says); returns
    what remove_page_script takes. Sent once, where sending it with each
    check cost a quarter of a second."""
    return driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                  {"source": source})["identifier"]


def remove_page_script(driver, identifier):
    driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument",
                           {"identifier": identifier})


def run_axe(driver):
    """axe-core (added with add_page_script) on the page now open:
    {passes: n, violations: [...]}."""
    if not driver.execute_script("return typeof axe === 'object'"):
        raise AssertionError("axe-core is not in the page " + driver.current_url)
    result = driver.execute_async_script(AXE_RUN)
    if "error" in result:
        raise AssertionError("axe-core failed: " + result["error"])
    return result


def tool_environment(locales):
    """The desktop tool and the CLI under Chinese regional settings, from
    the locales the build generates; the tool on Qt's offscreen platform,
    with nothing on PATH it could start."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
    env.update({"LOCPATH": locales, "LC_ALL": "zh_CN.UTF-8", "LANG": "zh_CN.UTF-8",
                "QT_QPA_PLATFORM": "offscreen", "PATH": tempfile.gettempdir() + "/nonexistent"})
    # In a sanitizer build, the list glibc's newlocale makes of LOCPATH and
    # never frees is not ours to report (the C++ tests suppress it too).
    options = [o for o in env.get("LSAN_OPTIONS", "").split(":") if o]
    env["LSAN_OPTIONS"] = ":".join(options + ["suppressions=" + _locpath_suppressions()])
    return env


def _locpath_suppressions():
    path = os.path.join(tempfile.gettempdir(), "pelvoran-locpath-%d.supp" % os.getpid())
    if not os.path.exists(path):
        with open(path, "w") as out:
            out.write("leak:argz_add_sep\nleak:argz_create_sep\n")
        atexit.register(os.remove, path)
    return path


def run_tool(driver_exe, base, comments, locales):
    """Starts the real desktop tool against `base`: every message box is
    printed and answered with Cancel, then each comment is sent through the
    comment window. Returns the driver's output lines."""
    env = tool_environment(locales)
    env["PELVORAN_DRIVER_COMMENTS"] = "\x1e".join(comments)
    # The answer keys the tool keeps go to a data folder of the run's own.
    data = tempfile.mkdtemp(prefix="pelvoran-tool-data-")
    env["XDG_DATA_HOME"] = data
    try:
        done = subprocess.run([driver_exe, base, "comments"], env=env, capture_output=True,
                              timeout=PROCESS_SECONDS)
    finally:
        shutil.rmtree(data, ignore_errors=True)
    out = done.stdout.decode()
    if done.returncode != 0:
        raise AssertionError("the tool ended with %d:\n%s\n%s" %
                             (done.returncode, out, done.stderr.decode(errors="replace")))
    return out.splitlines()


def decode_answers(decode_exe, codes, locales):
    """The desktop tool's answer to each code, as a list of lines, from
    pelvoran-decode."""
    done = subprocess.run([decode_exe, "--raw", "--", *codes], env=tool_environment(locales),
                          capture_output=True, timeout=PROCESS_SECONDS, check=True)
    answers = done.stdout.decode().split("\n")
    if answers[-1] != "" or len(answers) != len(codes) + 1:
        raise AssertionError("pelvoran-decode gave %d answers for %d codes" %
                             (len(answers) - 1, len(codes)))
    return {code: answer.split("\r") for code, answer in zip(codes, answers)}


class TempDir:
    def __init__(self, prefix):
        self.path = tempfile.mkdtemp(prefix=prefix)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


if __name__ == "__main__":
    # browser_support.py install-axe DIR: axe-core into DIR once, before
    # the page tests that use it start side by side.
    if len(sys.argv) != 3 or sys.argv[1] != "install-axe":
        sys.exit("usage: browser_support.py install-axe DIR")
    own_descendants(__file__)
    print("axe-core %s in %s" % (install_axe(sys.argv[2])[0], sys.argv[2]))
