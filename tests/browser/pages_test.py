"""The server's pages in a real headless Chromium, against the real
pelvoran-server process with its SQLite file, the real desktop tool (through
its driver) and pelvoran-decode for the desktop tool's answers.

  /usr/bin/python3 pages_test.py --server EXE --app-driver EXE --decode EXE \\
      --locales DIR --axe-dir DIR [--group NAME] [unittest options] [TestClass ...]

One run starts one server and one browser for all the classes it runs: all
of them, or those of one group of GROUPS (ctest runs the groups at once).
"""

import argparse
import http.server
import html
import json
import os
import re
import secrets
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse
import urllib.request

from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import browser_support as support  # noqa: E402

ARGS = None
ENV = None

# The pages answer in Chinese; these are the texts a user reads there.
TITLE_OFFER = "有更新版本"
COMMENT_THANKS = "留言已收到，谢谢！"
NO_ANSWER = "这个代码目前没有可查看的回复。"
REPLY_CODE = r"^[0-9A-HJKMNP-TV-Z]{4}(-[0-9A-HJKMNP-TV-Z]{4}){3}$"

PHONES = [(390, 844), (360, 740)]
DESKTOP = (1280, 900)


class Environment:
    """One server and one browser for the whole run."""

    def __init__(self):
        self.dirs = support.TempDir("pelvoran-browser-")
        self.state = os.path.join(self.dirs.path, "state")
        self.server = None
        self.driver = None

    def start(self):
        self.server = support.ServerProcess(ARGS.server, self.state)
        self.sign_in_address()
        self.driver = support.start_browser()

    def sign_in_address(self):
        """A new sign-in address, as `pelvoran-server admin-url` prints it
        once it names the listener the server reported: it opens the pages
        once."""
        deadline = time.monotonic() + support.START_SECONDS
        while True:
            url = self.server.command("admin-url").strip()
            if url.startswith(self.server.admin + "/?signin="):
                return url
            if time.monotonic() > deadline:
                raise AssertionError("admin-url prints %s; the server listens at %s" %
                                     (url, self.server.admin))
            time.sleep(0.1)

    def close(self):
        status = "not started"
        try:
            if self.driver is not None:
                self.driver.quit()
        finally:
            if self.server is not None:
                status = self.server.stop()
            stderr = self.server.stderr() if self.server else ""
            self.dirs.remove()
        return status, stderr


def setUpModule():
    global ENV
    ENV = Environment()
    try:
        ENV.start()
    except BaseException:
        ENV.close()  # tearDownModule does not run then
        raise


def tearDownModule():
    status, stderr = ENV.close()
    if status != 0:
        raise AssertionError("pelvoran-server ended with %r:\n%s" % (status, stderr))


class PageTest(unittest.TestCase):
    """What the tests below share: the browser and ways to read the pages."""

    @property
    def driver(self):
        return ENV.driver

    @classmethod
    def use_axe(cls):
        """axe-core in every page the browser opens until the class ends."""
        cls.axe_version, source = support.install_axe(ARGS.axe_dir)
        script = support.add_page_script(ENV.driver, source)
        cls.addClassCleanup(support.remove_page_script, ENV.driver, script)

    def desktop(self):
        support.set_viewport(self.driver, *DESKTOP, mobile=False)

    def phone(self, width, height):
        support.set_viewport(self.driver, width, height, mobile=True)

    def login(self):
        response = support.open_page(self.driver, ENV.sign_in_address())
        self.assert_status(response, 200)
        self.assertEqual(urllib.parse.urlsplit(self.driver.current_url).path, "/comments")
        return response

    def admin(self, path):
        return support.open_page(self.driver, ENV.server.admin + path)

    def public(self, path):
        return support.open_page(self.driver, ENV.server.public + path)

    def by_css(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def all_css(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def text_of(self, element):
        return self.driver.execute_script("return arguments[0].textContent", element)

    def lines_of(self, element):
        return self.driver.execute_script("return arguments[0].innerText", element).split("\n")

    def type_into(self, selector, text):
        """Empties the field and puts `text` in it. A field with a length
        limit (the code box) is typed into key by key, so that the limit cuts
        the text as it cuts a user's; any other gets it at once, as a paste
        would, and the browser submits it alike."""
        self.fill({selector: text})

    def fill(self, fields):
        """type_into for each selector of `fields`, in one call to the browser
        for every field without a length limit."""
        typed = self.driver.execute_script("""
            const typed = [];
            for (const [selector, text] of Object.entries(arguments[0])) {
                const e = document.querySelector(selector);
                if (!e) throw new Error('no field ' + selector);
                e.value = e.maxLength >= 0 ? '' : text;
                if (e.maxLength >= 0 && text) typed.push([e, text]);
            }
            return typed;""", fields)
        for element, text in typed:
            element.send_keys(text)

    def fill_release(self, fields):
        self.fill({"#" + name: value for name, value in fields.items()})

    def assert_no_sideways_scroll(self, what):
        scroll, width = self.driver.execute_script(
            "return [document.documentElement.scrollWidth, window.innerWidth]")
        self.assertLessEqual(scroll, width, "%s scrolls sideways" % what)

    def assert_status(self, response, status):
        """The page's HTTP status, with what the page says when it differs."""
        if response.status != status:
            self.fail("%s answered %d, not %d: %s" % (
                response.url, response.status, status, self.by_css("body").text[:300]))

    def assert_no_alert(self):
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text

    def comment_sections(self):
        """The admin comment list as shown: the main list, the held one and
        the flagged one, each item's text exactly and its line of details."""
        return self.driver.execute_script("""
            const section = title => {
                const h2 = [...document.querySelectorAll('main h2')]
                    .find(h => h.textContent.startsWith(title));
                if (!h2) return [];
                let n = h2.nextElementSibling;
                while (n && n.tagName !== 'OL' && n.tagName !== 'H2') n = n.nextElementSibling;
                if (!n || n.tagName !== 'OL') return [];
                return [...n.children].map(li => ({
                    text: li.querySelector('.text').textContent,
                    details: li.querySelector('.muted').textContent,
                    unread: li.classList.contains('unread')}));
            };
            return {main: section('全部留言').concat(section('搜索结果')),
                    held: section('疑似垃圾'), flagged: section('疑似机器人')};""")

    def release_now(self, platform="windows"):
        """The published release of `platform` as the SQLite file holds it,
        and as the update endpoint serves it to that platform's tools once
        the server has taken it from the file (a publishing a moment ago
        reaches the reply a step of the server later)."""
        shown = ENV.server.command("release", "show", "--platform", platform)
        stored = re.search(r"^版本：(.+)$", shown, re.M)
        if stored:
            support.wait_until_served(ENV.server, platform, stored.group(1))
        return shown, self.release_served(platform)

    def release_served(self, platform="windows"):
        """The update endpoint's reply: a quick look between the steps of a
        table, where the store itself is read once at the end."""
        return support.served_release(ENV.server, platform)


class AdminCommentsTest(PageTest):

    HOSTILE = [
        "<script>alert(1)</script>",
        "\"><img src=x onerror=alert(2)>",
        "</p><iframe srcdoc=\"<script>alert(3)</script>\"></iframe>",
        "' onmouseover='alert(4)",
        "&lt;b&gt; &amp; 已经转义的字符",
    ]

    def test_tool_comments_arrive_intact_and_markup_stays_text(self):
        sent = ["镜头很好，谢谢！📷😀 한글 テスト", "  两行\n第二行  "] + self.HOSTILE
        out = support.run_tool(ARGS.app_driver, ENV.server.public, sent, ARGS.locales)
        self.assertEqual(out.count("comment sent"), len(sent), out)

        self.desktop()
        response = self.login()
        self.assertIn("default-src 'self'", response.headers["content-security-policy"])
        self.assertNotIn("unsafe-inline", response.headers["content-security-policy"])
        self.assertEqual(response.headers["x-frame-options"], "DENY")
        self.assert_no_alert()
        shown = {c["text"]: c for c in self.comment_sections()["main"]}
        for text in sent:
            with self.subTest(comment=text):
                self.assertIn(text, shown)
                self.assertIn("桌面工具", shown[text]["details"])
        injected = self.driver.execute_script("""
            return [...document.querySelectorAll('*')].filter(e =>
                ['SCRIPT', 'IFRAME', 'IMG', 'OBJECT', 'EMBED'].includes(e.tagName) ||
                [...e.attributes].some(a => a.name.startsWith('on'))).map(e => e.outerHTML);""")
        self.assertEqual(injected, [])

        # Search by text finds the Chinese comment and none of the others.
        self.admin("/comments?q=" + urllib.parse.quote("镜头很好"))
        found = [c["text"] for c in self.comment_sections()["main"]]
        self.assertIn(sent[0], found)
        self.assertFalse(set(found) & set(sent[1:]), found)

    def test_marking_read_changes_the_unread_count(self):
        text = "请标为已读 %s" % secrets.token_hex(4)
        self.desktop()
        self.public("/")
        self.type_into("#text", text)
        self.assert_status(submit_comment(self), 200)
        self.login()

        def unread():
            return int(self.by_css("main p strong").text)

        def item():
            for li in self.all_css("ol.comments > li"):
                if self.text_of(li.find_element(By.CSS_SELECTOR, ".text")) == text:
                    return li
            self.fail("comment not listed")

        before = unread()
        self.assertIn("unread", item().get_attribute("class"))
        self.assert_status(
            support.submit(self.driver, item().find_element(By.TAG_NAME, "button")), 200)
        self.assertEqual(unread(), before - 1)
        self.assertIn("已读", item().text)
        self.assertNotIn("unread", item().get_attribute("class"))
        self.assert_status(
            support.submit(self.driver, item().find_element(By.TAG_NAME, "button")), 200)
        self.assertEqual(unread(), before)
        self.assertIn("unread", item().get_attribute("class"))


    def test_deleting_asks_first_then_the_comment_is_gone(self):
        text = "请删除 %s" % secrets.token_hex(4)
        self.desktop()
        self.public("/")
        self.type_into("#text", text)
        self.assert_status(submit_comment(self), 200)
        self.login()
        link = self.driver.execute_script("""
            return [...document.querySelectorAll('ol.comments > li')]
                .find(li => li.querySelector('.text').textContent === arguments[0])
                .querySelector('a[href^="/comments/delete"]')""", text)
        self.assert_status(support.submit(self.driver, link), 200)
        self.assertEqual(self.text_of(self.by_css("main .text")), text)
        self.assert_status(support.submit(self.driver, self.by_css("button.danger")), 200)
        self.assertIn("已删除 1 条", self.by_css("[role=status]").text)
        self.assertNotIn(text, [c["text"] for c in self.comment_sections()["main"]])

    def test_phone_width_keeps_words_whole_and_chart_labels_readable(self):
        self.public("/")
        self.type_into("#text", "未读的留言")
        self.assert_status(submit_comment(self), 200)
        self.login()
        for width, height in PHONES:
            with self.subTest(width=width):
                self.phone(width, height)
                self.admin("/comments")
                lines = self.driver.execute_script("""
                    return [...document.querySelectorAll('ol.comments strong')]
                        .map(e => e.getClientRects().length)""")
                self.assertTrue(lines)
                self.assertEqual(set(lines), {1}, "未读 breaks across lines")
                self.assert_no_sideways_scroll("the comments at %d px" % width)
                send_checks(["Pelvoran/1.06 (Windows)", "Pelvoran/1.06 (Linux)", ""])
                self.assert_status(self.admin("/use"), 200)
                self.driver.execute_script(
                    "document.querySelectorAll('details').forEach(d => d.open = true)")
                self.assert_no_sideways_scroll("the use page at %d px" % width)
                smallest = self.driver.execute_script("""
                    return Math.min(...[...document.querySelectorAll('svg text')].map(t =>
                        parseFloat(getComputedStyle(t).fontSize) *
                        t.ownerSVGElement.getScreenCTM().a))""")
                self.assertGreaterEqual(smallest, 11, "chart labels too small to read")


def send_checks(agents):
    """Update checks as the tools send them ("": none of ours), counted at
    once on the use page."""
    for agent in agents:
        request = urllib.request.Request(
            ENV.server.public + "/Canon/LensCheck.asp?Action=Check&D=1",
            headers={"User-Agent": agent or "Python-urllib"})
        with urllib.request.urlopen(request, timeout=support.STEP_SECONDS) as reply:
            reply.read()


def submit_comment(test):
    button = test.by_css("form[action^='/comment#'] button[type=submit]")
    return support.submit(test.driver, button)


class ReleaseFormTest(PageTest):

    VALID = {
        "version": "1.07",
        "address": "https://downloads.example.com/pelvoran-1.07.exe",
        "date": "2026年12月1日",
        "notes": "修正：全角编号（ＵＥ０９４５）的查询\n新增：网页查询与留言 & 50%",
    }

    def release_button(self, action):
        return self.by_css("button[name=action][value=%s]" % action)

    def test_published_release_is_offered_by_the_tool(self):
        fields = self.VALID
        self.desktop()
        self.login()
        before = self.release_now("linux")

        # The tool below is the Linux one: it is offered the Linux release.
        self.admin("/release?platform=linux")
        self.fill_release(fields)
        self.assert_status(support.submit(self.driver, self.release_button("preview")), 200)
        self.assertEqual(self.release_now("linux"), before, "a preview published something")
        box = self.by_css("figure.box")
        title = self.text_of(box.find_element(By.TAG_NAME, "figcaption"))
        preview = self.text_of(box.find_element(By.TAG_NAME, "p"))
        buttons = [self.text_of(b) for b in box.find_elements(By.CSS_SELECTOR, ".buttons span")]
        self.assertEqual(buttons, ["确定", "取消"])

        self.assert_status(support.submit(self.driver, self.release_button("publish")), 200)
        self.assertIn("已发布", self.by_css("[role=status]").text)
        shown = [self.text_of(dd) for dd in self.all_css("main > dl dd")]
        self.assertEqual(shown, [fields["version"], fields["address"], fields["date"],
                                 fields["notes"], "未签名"])

        support.wait_until_served(ENV.server, "linux", fields["version"])

        out = support.run_tool(ARGS.app_driver, ENV.server.public, ["发布之后"], ARGS.locales)
        boxes = [line for line in out if line.startswith("box " + TITLE_OFFER + ": ")]
        expected = ("最新版本: {version}\n发布日期: {date}\n更新说明: {notes}\n"
                    "点击确定下载升级程序。\n").format(**fields)
        self.assertEqual(boxes, ["box %s: %s" % (TITLE_OFFER, expected.replace("\n", "\\n"))],
                         out)
        self.assertEqual("box %s: %s" % (title, (preview + "\n").replace("\n", "\\n")), boxes[0])

    # (field, value, words of the message that must show next to it)
    REFUSED = [
        ("version", "1.05", "十进制数"),
        ("version", "1.5.1", "十进制数"),
        ("version", "１.０７", "十进制数"),
        ("address", "javascript:alert(1)", "网址"),
        ("address", "ftp://example.com/pelvoran.exe", "网址"),
        ("date", "2026年[;]12月", "[;]"),
        ("notes", "第一行[;]第二行", "[;]"),
        ("notes", "一行\n" * 21, "20 行"),
    ]

    def test_refused_field_shows_its_message_and_publishes_nothing(self):
        self.desktop()
        self.login()
        before = self.release_now()
        # Each refusal sent again from the page that showed the last one,
        # as a publisher correcting a field would.
        self.admin("/release")
        for name, value, words in self.REFUSED:
            with self.subTest(field=name, value=value):
                fields = dict(self.VALID, **{name: value})
                self.fill_release(fields)
                response = support.submit(self.driver, self.release_button("publish"))
                self.assert_status(response, 400)
                shown = self.driver.execute_script("""
                    const field = document.getElementById(arguments[0]);
                    return {errors: [...document.querySelectorAll('form .error')]
                                .map(e => [e.id, e.innerText]),
                            describedBy: field.getAttribute('aria-describedby'),
                            invalid: field.getAttribute('aria-invalid'),
                            next: field.nextElementSibling.id,
                            values: Object.fromEntries(Object.keys(arguments[1])
                                .map(k => [k, document.getElementById(k).value])),
                            statuses: document.querySelectorAll('[role=status]').length};""",
                                                   name, fields)
                self.assertEqual([id for id, _ in shown["errors"]], [name + "-error"])
                self.assertIn(words, shown["errors"][0][1])
                self.assertEqual(shown["describedBy"], name + "-error")
                self.assertEqual(shown["invalid"], "true")
                self.assertEqual(shown["next"], name + "-error")
                self.assertEqual(shown["values"], fields)
                self.assertEqual(shown["statuses"], 0)
                self.assertEqual(self.release_served(), before[1])
        # Two fields at fault: both messages at once, each beside its field.
        self.admin("/release")
        self.fill_release(dict(self.VALID, version="1.05", address="javascript:alert(1)"))
        self.assert_status(support.submit(self.driver, self.release_button("publish")), 400)
        self.assertEqual([e.get_attribute("id") for e in self.all_css("form .error")],
                         ["version-error", "address-error"])
        self.assertEqual(self.release_now(), before)

    @staticmethod
    def release_options(fields):
        return [a for name in ["version", "address", "date", "notes"]
                for a in ["--" + name, fields[name]]]

    def sign(self, key, fields):
        """The signature `release sign` prints for `fields` on the command
        line, as a publisher signs where the private key is kept."""
        return subprocess.run(
            [ARGS.server, "release", "sign", "--key", key] + self.release_options(fields),
            capture_output=True, text=True, check=True,
            timeout=support.PROCESS_SECONDS).stdout.strip()

    def test_notes_signed_on_the_command_line_are_taken_from_the_page(self):
        # A row published before the key, then the key with its public half
        # in the state directory and its private half elsewhere.
        before_key = dict(self.VALID, version="1.19", notes="\n修正：第一行\n第二行")
        ENV.server.command("release", "set", *self.release_options(before_key))
        key = os.path.join(ENV.dirs.path, "publisher.pem")
        ENV.server.command("key", "create", key)
        self.addCleanup(os.remove, os.path.join(ENV.state, "update-key.pub"))
        self.desktop()
        self.login()

        # Multi-line notes typed into the textarea, which the browser sends
        # with CR LF, and the signature the command line made of them with LF.
        typed = dict(self.VALID, version="1.20", notes="修正：第一行\n第二行\n\n第四行")
        self.admin("/release")
        self.fill_release(dict(typed, signature=self.sign(key, typed)))
        self.assert_status(support.submit(self.driver, self.release_button("publish")), 200)
        self.assertEqual(urllib.parse.urlsplit(self.driver.current_url).path, "/release")
        self.assertIn("已发布 1.20", self.by_css("[role=status]").text)
        self.assertIn("更新说明：" + typed["notes"] + "\n签名：sig1:", self.release_now()[0])

        # 重新发布 of the row from before the key asks for its signature in
        # the release form, with the row's fields, and publishes from there.
        button = self.driver.execute_script("""
            return [...document.querySelectorAll('ol.log > li')]
                .find(li => li.querySelector('strong').textContent === '发布 1.19')
                .querySelector('button');""")
        self.assert_status(support.submit(self.driver, button), 400)
        shown = self.driver.execute_script("""
            return Object.fromEntries(['version', 'address', 'date', 'notes']
                .map(k => [k, document.getElementById(k).value]))""")
        self.assertEqual(shown, {k: before_key[k] for k in shown})
        self.assertIn("缺少签名", self.by_css("#signature-error").text)
        self.fill_release({"signature": self.sign(key, before_key)})
        self.assert_status(support.submit(self.driver, self.release_button("publish")), 200)
        self.assertIn("已发布 1.19", self.by_css("[role=status]").text)
        self.assertIn("更新说明：" + before_key["notes"] + "\n签名：sig1:", self.release_now()[0])


class ForeignSite:
    """A second local web server: another origin, serving one page with a
    form that posts to the admin listener."""

    def __init__(self):
        self.page = b""
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(site.page)))
                self.end_headers()
                self.wfile.write(site.page)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def form_to(self, action, fields):
        inputs = "".join('<input type="hidden" name="%s" value="%s">' %
                         (html.escape(k), html.escape(v)) for k, v in fields.items())
        self.page = ('<!DOCTYPE html><html lang="en"><title>elsewhere</title>'
                     '<form method="post" action="%s">%s<button>go</button></form></html>' %
                     (html.escape(action), inputs)).encode()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(support.STEP_SECONDS)


class RefusalTest(PageTest):

    def test_login_takes_the_code_out_of_the_address(self):
        self.desktop()
        self.driver.delete_all_cookies()
        self.login()
        self.assertNotIn("signin", self.driver.current_url)
        cookies = {c["name"]: c for c in self.driver.get_cookies()}
        self.assertTrue(cookies["pelvoran_admin"]["httpOnly"])
        self.assertEqual(cookies["pelvoran_admin"]["sameSite"], "Strict")
        for path in ["/comments", "/release", "/use"]:
            with self.subTest(path=path):
                self.assert_status(self.admin(path), 200)

    def test_used_or_wrong_codes_get_401_and_no_session(self):
        url = ENV.sign_in_address()
        code = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)["signin"][0]
        flipped = code[:-1] + ("0" if code[-1] != "0" else "1")
        used = "这个登录地址已经用过或已过期"
        self.desktop()
        for field, wrong, says in [("signin", flipped, used), ("signin", "", used),
                                   ("signin", code[:-1], used), ("signin", code + "0", used),
                                   ("signin", code.upper(), used), ("signin", "../" + code, used),
                                   ("token", code, "这是以前的管理地址")]:
            with self.subTest(field=field, code=wrong):
                self.driver.delete_all_cookies()
                response = self.admin("/comments?%s=%s" % (field, urllib.parse.quote(wrong)))
                self.assert_status(response, 401)
                self.assertIn(says, self.by_css("main").text)
                self.assertIn("pelvoran-server admin-url", self.by_css("main").text)
                self.assertEqual(self.driver.get_cookies(), [])
                self.assert_status(self.admin("/comments"), 401)
        # None of those took the code: it opens once, then says it was used.
        self.driver.delete_all_cookies()
        self.assert_status(support.open_page(self.driver, url), 200)
        self.driver.delete_all_cookies()
        self.assert_status(support.open_page(self.driver, url), 401)
        self.assertIn(used, self.by_css("main").text)
        self.assertEqual(self.driver.get_cookies(), [])

    def test_no_session_gets_401_everywhere(self):
        self.desktop()
        for cookie in [None, secrets.token_hex(32), ""]:
            self.driver.delete_all_cookies()
            if cookie is not None:
                self.admin("/")
                self.driver.add_cookie({"name": "pelvoran_admin", "value": cookie, "path": "/"})
            for path in ["/", "/comments", "/comments.csv", "/comments.jsonl", "/release",
                         "/use", "/nowhere"]:
                with self.subTest(cookie=cookie, path=path):
                    response = self.admin(path)
                    self.assert_status(response, 401)
                    self.assertIn("pelvoran-server admin-url", self.by_css("main").text)

    def test_posts_from_elsewhere_are_refused(self):
        self.desktop()
        self.login()
        self.admin("/release")
        csrf = self.by_css("input[name=csrf]").get_attribute("value")
        before = self.release_now()
        fields = {"csrf": csrf, "version": "9.99", "address": "https://evil.example/x.exe",
                  "date": "今天", "notes": "不该发布", "action": "publish"}
        foreign = ForeignSite()
        try:
            # (where the form is, status, words on the page). Another port is
            # another origin on the same site: the session cookie goes along and
            # the Origin header alone tells. Another host is another site: the
            # SameSite=Strict cookie stays home.
            for host, status, words in [("127.0.0.1", 403, "来自其他网站"),
                                        ("localhost", 401, "需要先登录")]:
                with self.subTest(host=host):
                    foreign.form_to(ENV.server.admin + "/release", fields)
                    support.open_page(self.driver, "http://%s:%d/" % (host, foreign.port))
                    response = support.submit(self.driver, self.by_css("button"))
                    self.assert_status(response, status)
                    self.assertTrue(response.url.startswith(ENV.server.admin))
                    self.assertIn(words, self.by_css("main").text)
                    self.assertEqual(self.release_served(), before[1])
        finally:
            foreign.close()

        # The admin's own form, with its CSRF field altered or gone.
        for csrf_field in ["00" * 32, "", None]:
            with self.subTest(csrf=csrf_field):
                self.admin("/release")
                self.fill_release({
                    "version": "9.98", "address": "https://example.com/x.exe",
                    "date": "今天", "notes": "不该发布"})
                self.driver.execute_script(
                    "const f = document.querySelector('input[name=version]').form"
                    ".querySelector('input[name=csrf]');"
                    "if (arguments[0] === null) f.remove(); else f.value = arguments[0];",
                    csrf_field)
                response = support.submit(
                    self.driver, self.by_css("button[name=action][value=publish]"))
                self.assert_status(response, 403)
                self.assertIn("表单已过期", self.by_css("main").text)
                self.assertEqual(self.release_served(), before[1])
        self.assertEqual(self.release_now(), before)


class LookupOnPhonesTest(PageTest):

    # (typed into the code box, what the box keeps)
    TYPED = [
        ("UE0945", "UE0945"),
        ("ue0945", "ue0945"),
        ("ＵＥ０９４５", "ＵＥ０９４５"),
        ("ｕｅ０９４５", "ｕｅ０９４５"),
        ("ＵＥ　０９４５", "ＵＥ　０９４５"),
        ("６８３１２３４５６７", "６８３１２３４５６７"),
        ("6831234567", "6831234567"),
        ("12345678", "12345678"),
        ("0123456789", "0123456789"),
        ("UE09", "UE09"),
        ("12345", "12345"),
        ("1234567abc", "1234567abc"),
        ("68312345678", "6831234567"),
        (" UE0945", " UE0945"),
        ("\"><b>x</b>", "\"><b>x</b>"),
        ("<i>UE0945</i>", "<i>UE0945<"),
        ("", ""),
    ]
    # (the code in the address, what the desktop box would keep of it)
    IN_ADDRESS = [
        ("6831234567\nUE0945", "6831234567"),
        ("UE0945\r\n6831234567", "UE0945"),
        ("６８３１２３４５６７８９", "６８３１２３４５６７"),
        ("😀😀😀😀😀😀", "😀😀😀😀😀"),
    ]

    def answer_shown(self):
        """The answer's lines as shown, what the code box holds, and the
        page's width against the window's."""
        return self.driver.execute_script("""
            return {lines: document.getElementById('answer').innerText.split('\\n'),
                    code: document.getElementById('code').value,
                    scroll: document.documentElement.scrollWidth, width: window.innerWidth};""")

    def assert_answer_at_every_width(self, keep, answers, what):
        """The answer now shown is the desktop tool's for `keep`, and reads
        without sideways scrolling at each phone width (the page laid out
        again, not loaded again)."""
        for width, height in PHONES:
            with self.subTest(width=width, **what):
                self.phone(width, height)
                shown = self.answer_shown()
                self.assertEqual(shown["lines"], answers[keep])
                self.assertEqual(shown["code"], keep)
                self.assertLessEqual(shown["scroll"], shown["width"],
                                     "the answer at %d px scrolls sideways" % width)

    def test_codes_give_the_desktop_answers(self):
        kept = sorted({k for _, k in self.TYPED + self.IN_ADDRESS})
        answers = support.decode_answers(ARGS.decode, kept, ARGS.locales)
        for width, height in PHONES:
            self.phone(width, height)
            self.public("/")
            self.assert_no_sideways_scroll("the start page at %d px" % width)
        # The first code sent with the button, the others with Enter, as
        # on a phone's keyboard.
        for i, (typed, keep) in enumerate(self.TYPED):
            with self.subTest(code=typed):
                if i == 0:
                    self.type_into("#code", typed)
                    response = support.submit(self.driver,
                                              self.by_css("form[method=get] button"))
                else:
                    response = support.after(
                        self.driver, lambda: self.type_into("#code", typed + Keys.ENTER))
                self.assert_status(response, 200)
            self.assert_answer_at_every_width(keep, answers, {"code": typed})
        for asked, keep in self.IN_ADDRESS:
            self.public("/?code=" + urllib.parse.quote(asked))
            self.assert_answer_at_every_width(keep, answers, {"address": asked})
        self.assert_no_alert()

    def view_reply(self, typed):
        """The lookup page's 查看回复 with `typed` in its field, sent."""
        self.public("/")
        self.type_into("#reply-code", typed)
        return support.submit(self.driver, self.by_css("form[action^='/reply#'] button"))

    def test_a_phone_keeps_the_code_and_reads_the_answer_with_it(self):
        width, height = PHONES[1]
        self.phone(width, height)
        text = "手机留言：这支镜头是哪一年的？<i>谢谢</i>"
        self.public("/")
        self.type_into("#text", text)
        self.assert_status(submit_comment(self), 200)
        code = self.by_css("#reply-code-shown").text
        self.assertRegex(code, REPLY_CODE)
        self.assertIn("查看回复", self.by_css(".receipt").text)
        self.assert_no_sideways_scroll("the receipt at %d px" % width)

        self.assert_status(self.view_reply(code), 200)
        self.assertEqual(self.by_css("#reply-answer").text, NO_ANSWER)
        malformed = code[:-1] + "U"
        self.assert_status(self.view_reply(malformed), 400)
        self.assertIn("回复代码不对", self.by_css(".error[role=alert]").text)
        self.assertEqual(self.by_css("#reply-code").get_attribute("value"), malformed)

        # The publisher answers on the comment's page.
        number = next(json.loads(line)["id"] for line in
                      ENV.server.command("comments", "export").splitlines()
                      if json.loads(line)["text"] == text)
        self.desktop()
        self.login()
        self.assert_status(self.admin("/comment?id=%d" % number), 200)
        self.type_into("#answer-text", "2019 年 3 月产。\n<b>不客气</b>")
        self.assert_status(support.submit(
            self.driver, self.by_css("form[action='/comments/answer'] button")), 200)

        # Typed as one reads it off a screenshot: lower case, blanks, O for 0.
        self.phone(width, height)
        typed = code.lower().replace("-", " ").replace("0", "o")
        self.assert_status(self.view_reply(typed), 200)
        self.assertEqual(self.by_css("main .text").text, text)
        self.assertEqual(self.lines_of(self.by_css("#reply-answer")),
                         ["2019 年 3 月产。", "<b>不客气</b>"])
        self.assert_no_sideways_scroll("the answer at %d px" % width)
        self.assertNotIn(code, self.driver.current_url)

        # Reading on the phone delivers nothing: the publisher may still edit.
        self.desktop()
        self.assert_status(self.admin("/comment?id=%d" % number), 200)
        self.assertTrue(self.all_css("form[action='/comments/answer/withdraw'] button"))

    def test_comments_from_the_form_reach_the_admin_page(self):
        posted = []
        flagged = []
        held = []
        for width, height in PHONES:
            with self.subTest(width=width):
                self.phone(width, height)
                text = "网页留言 %d px：镜头很好😀 <b>粗</b> a+b=c 50%%\n第二行" % width
                self.public("/")
                self.type_into("#text", text)
                self.assert_status(submit_comment(self), 200)
                # The receipt is the post's own page: no address carries the code.
                self.assertEqual(urllib.parse.urlsplit(self.driver.current_url).path, "/comment")
                self.assertEqual(self.by_css(".ok[role=status]").text, COMMENT_THANKS)
                self.assertRegex(self.by_css("#reply-code-shown").text, REPLY_CODE)
                self.assertEqual(self.by_css("#text").get_attribute("value"), "")
                self.assert_no_sideways_scroll("the thanks at %d px" % width)
                posted.append(text)

                # The trap field, hidden from people, filled as a bot would.
                bot = "机器人留言 %d px" % width
                self.public("/")
                self.type_into("#text", bot)
                self.driver.execute_script(
                    "document.getElementById('website').value = 'http://spam.example/'")
                self.assert_status(submit_comment(self), 200)
                self.assertEqual(self.by_css(".ok[role=status]").text, COMMENT_THANKS)
                flagged.append(bot)

                # A contact in full-width letters: held, with the same thanks.
                spam = "网页留言 %d px：便宜出镜头，加我微信 ｌｅｎｓ＿ｓｈｏｐ８８" % width
                self.public("/")
                self.type_into("#text", spam)
                self.assert_status(submit_comment(self), 200)
                self.assertEqual(self.by_css(".ok[role=status]").text, COMMENT_THANKS)
                held.append(spam)

                # A blank comment is refused, and said so.
                self.public("/")
                self.type_into("#text", "   ")
                self.assert_status(submit_comment(self), 400)
                self.assertTrue(self.by_css(".error[role=alert]").text)
                self.assertEqual(self.all_css(".ok"), [])
                self.assertEqual(self.by_css("#text").get_attribute("value"), "   ")
                self.assert_no_sideways_scroll("the refusal at %d px" % width)

        self.desktop()
        self.login()
        sections = self.comment_sections()
        main = {c["text"]: c for c in sections["main"]}
        trapped = {c["text"] for c in sections["flagged"]}
        for text in posted:
            with self.subTest(comment=text):
                self.assertEqual([c["text"] for c in sections["main"]].count(text), 1)
                self.assertIn("网页", main[text]["details"])
                self.assertNotIn(text, trapped)
        for text in flagged:
            with self.subTest(flagged=text):
                self.assertIn(text, trapped)
                self.assertNotIn(text, main)
        self.assertNotIn("   ", main)
        spam = {c["text"]: c for c in sections["held"]}
        for text in held:
            with self.subTest(held=text):
                self.assertIn("疑似垃圾（含 QQ 或微信联系方式）", spam[text]["details"])
                self.assertNotIn(text, main)
        self.assertIn("%d 条疑似垃圾留言" % len(sections["held"]),
                      self.by_css("main a[href='/comments#held']").text)

        # 放行: one click, and it is an ordinary comment, unread.
        approve = self.driver.execute_script("""
            return [...document.querySelectorAll('ol.comments > li')]
                .find(li => li.querySelector('.text').textContent === arguments[0])
                .querySelector('form[action="/comments/approve"] button')""", held[0])
        self.assert_status(support.submit(self.driver, approve), 200)
        self.assertIn("已放行", self.by_css("[role=status]").text)
        sections = self.comment_sections()
        self.assertIn(held[0], [c["text"] for c in sections["main"] if c["unread"]])
        self.assertNotIn(held[0], [c["text"] for c in sections["held"]])


class ReleaseHistoryTest(PageTest):
    """The release history under the release form, its 重新发布, and the audit
    log's page: axe-core finds nothing at desktop and phone sizes, and a
    long address scrolls nothing sideways at 360 px."""

    @classmethod
    def setUpClass(cls):
        cls.use_axe()

    def test_history_and_audit_log_read_well_everywhere(self):
        long_address = "https://downloads.example.com/" + "p" * 90 + "/pelvoran-1.08.exe"
        for version, address in [("1.08", long_address),
                                 ("1.09", "https://downloads.example.com/1.09.exe")]:
            ENV.server.command("release", "set", "--version", version, "--address", address,
                               "--date", "2026年12月", "--notes", "修正若干问题。" * 20)
        self.desktop()
        self.login()
        self.assert_status(self.admin("/release"), 200)
        button = self.driver.execute_script("""
            return [...document.querySelectorAll('ol.log > li')]
                .find(li => li.querySelector('strong').textContent === '发布 1.08')
                .querySelector('button');""")
        self.assert_status(support.submit(self.driver, button), 200)
        self.assertIn("已重新发布 1.08", self.by_css("[role=status]").text)
        self.assertIn("现在发布的就是它", self.by_css("ol.log > li.live").text)

        report = []
        for path in ["/release", "/audit"]:
            for view in ["desktop", "phone", "narrow phone"]:
                with self.subTest(page=path, view=view):
                    if view == "desktop":
                        self.desktop()
                    else:
                        self.phone(*PHONES[0 if view == "phone" else 1])
                    self.assert_status(self.admin(path), 200)
                    if view == "narrow phone":
                        self.assert_no_sideways_scroll("%s at 360 px" % path)
                        continue
                    result = support.run_axe(self.driver)
                    self.assertGreater(result["passes"], 0)
                    report.append("%s (%s): %d violations" %
                                  (path, view, len(result["violations"])))
                    self.assertEqual(result["violations"], [])
        self.assertIn("重新发布", self.by_css("main").text)
        print("\naxe-core %s: %s" % (self.axe_version, "; ".join(report)), file=sys.stderr)


class AccessibilityTest(PageTest):

    @classmethod
    def setUpClass(cls):
        cls.use_axe()

    def test_axe_finds_no_violations(self):
        t = self

        def lookup():
            t.public("/")

        def answer():
            t.public("/?code=UE0945")

        def thanks():
            t.public("/")
            t.type_into("#text", "无障碍检查的留言")
            t.assert_status(submit_comment(t), 200)

        def refused_comment():
            t.public("/")
            t.assert_status(submit_comment(t), 400)

        def reply():
            t.public("/")
            t.type_into("#reply-code", "0000-0000-0000-0000")
            t.assert_status(support.submit(t.driver, t.by_css("form[action^='/reply#'] button")),
                            200)
            t.by_css("#reply-answer")

        def reply_refused():
            t.public("/")
            t.type_into("#reply-code", "UUUU")
            t.assert_status(support.submit(t.driver, t.by_css("form[action^='/reply#'] button")),
                            400)
            t.by_css("#reply-code")

        # Signed in on the first admin page, with a comment held as likely
        # spam; the session holds for the rest.
        def comments():
            t.public("/")
            t.type_into("#text", "无障碍检查的疑似垃圾 www.example.com")
            t.assert_status(submit_comment(t), 200)
            t.login()
            t.by_css("#held")

        def release_preview():
            t.admin("/release")
            t.fill_release(ReleaseFormTest.VALID)
            t.assert_status(support.submit(t.driver, t.by_css("button[value=preview]")), 200)
            t.by_css("figure.box")

        def release_error():
            t.admin("/release")
            t.fill_release(dict(ReleaseFormTest.VALID, version="1.05"))
            t.assert_status(support.submit(t.driver, t.by_css("button[value=publish]")), 400)
            t.by_css("#version-error")

        staged = []

        def use():
            # Linux's 1.07 staged after 1.06 reached every network: the
            # rollout and the offers' tables are on the page. (No Linux tool
            # runs in this group.)
            if not staged:
                for version, rollout in [("1.06", "100"), ("1.07", "30")]:
                    ENV.server.command("release", "set", "--platform", "linux", "--version",
                                       version, "--address", "https://example.com/p.deb",
                                       "--date", "d", "--notes", "n", "--rollout", rollout)
                staged.append(True)
            send_checks(["Pelvoran/1.06 (Windows)", "Pelvoran/1.07 (Linux)", ""])
            t.assert_status(t.admin("/use"), 200)
            t.driver.execute_script(
                "document.querySelectorAll('details').forEach(d => d.open = true)")
            t.assertIn("分阶段发布：30% 的网络收到 1.07，其余的收到 1.06", t.by_css("main").text)
            t.assert_no_sideways_scroll("the use page")

        def delete_confirm():
            t.admin("/comments")
            t.assert_status(support.submit(t.driver, t.by_css("a[href^='/comments/delete']")),
                            200)
            t.by_css("button.danger")

        def not_logged_in():
            t.driver.delete_all_cookies()
            t.assert_status(t.admin("/comments"), 401)

        pages = [("lookup", lookup), ("lookup with an answer", answer),
                 ("comment receipt", thanks), ("comment refused", refused_comment),
                 ("reply", reply), ("reply refused", reply_refused),
                 ("admin comments", comments), ("release preview", release_preview),
                 ("release error", release_error), ("use", use),
                 ("delete confirmation", delete_confirm), ("401", not_logged_in)]
        report = []
        for name, show in pages:
            for view in ["desktop", "phone"]:
                with self.subTest(page=name, view=view):
                    if view == "desktop":
                        self.desktop()
                    else:
                        self.phone(*PHONES[0])
                    show()
                    result = support.run_axe(self.driver)
                    self.assertGreater(result["passes"], 0)
                    report.append("%s (%s): %d violations" %
                                  (name, view, len(result["violations"])))
                    self.assertEqual(result["violations"], [])
        print("\naxe-core %s: %s" % (self.axe_version, "; ".join(report)), file=sys.stderr)


class NotifyPageTest(PageTest):

    @classmethod
    def setUpClass(cls):
        cls.use_axe()

    def test_page_is_accessible_keeps_secrets_and_fits_a_phone(self):
        key = os.path.join(ENV.dirs.path, "hook.key")
        with open(key, "w") as out:
            out.write("never-shown-key\n")
        ENV.server.command("notify", "add", "webhook",
                           "https://hooks.example.com/" + "a-rather-long-path/" * 6 + "pelvoran",
                           "--secret-file", key)
        t = self

        def listed():
            t.login()
            t.assert_status(t.admin("/notify"), 200)
            t.by_css("a[href^='/notify/remove']")

        def refused():
            t.login()
            t.admin("/notify")
            t.fill({"#address": "me@example.com", "#smtp": "http://smtp.example.com",
                    "#password": "typed-password"})
            t.assert_status(support.submit(t.driver, t.by_css("form:has(#smtp) button")), 400)
            t.by_css("p.error[role=alert]")

        def remove_confirm():
            t.login()
            t.admin("/notify")
            t.assert_status(support.submit(t.driver, t.by_css("a[href^='/notify/remove']")), 200)
            t.by_css("button.danger")

        for name, show in [("notify", listed), ("notify refused", refused),
                           ("remove confirmation", remove_confirm)]:
            for view in ["desktop", "phone"]:
                with self.subTest(page=name, view=view):
                    if view == "desktop":
                        self.desktop()
                    else:
                        self.phone(*PHONES[1])
                    show()
                    source = self.driver.page_source
                    self.assertNotIn("never-shown-key", source)
                    self.assertNotIn("typed-password", source)
                    if view == "phone":
                        self.assert_no_sideways_scroll(name)
                    result = support.run_axe(self.driver)
                    self.assertGreater(result["passes"], 0)
                    self.assertEqual(result["violations"], [])


# The classes in two groups of about the same length: the public pages and
# the admin's. Every class is in one.
GROUPS = {
    "public": [AccessibilityTest, LookupOnPhonesTest, NotifyPageTest],
    "admin": [AdminCommentsTest, RefusalTest, ReleaseFormTest, ReleaseHistoryTest],
}


def main():
    global ARGS
    # The server, chromedriver and the browser's processes end with this
    # one, also when ctest kills it at the time limit.
    support.own_descendants(__file__)
    parser = argparse.ArgumentParser()
    for name in ["--server", "--app-driver", "--decode", "--locales", "--axe-dir"]:
        parser.add_argument(name, required=True)
    parser.add_argument("--group", choices=sorted(GROUPS))
    ARGS, rest = parser.parse_known_args()
    grouped = [c for classes in GROUPS.values() for c in classes]
    for c in PageTest.__subclasses__():
        if grouped.count(c) != 1:
            sys.exit("pages_test.py: %s is in %d groups of GROUPS, not one" %
                     (c.__name__, grouped.count(c)))
    if ARGS.group:
        rest += [c.__name__ for c in GROUPS[ARGS.group]]
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
