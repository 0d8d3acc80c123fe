"""The README's pictures of the server's pages, taken in headless Chromium
from a real server with a few comments and a published release. Run by
hand from the source directory:

  /usr/bin/python3 tests/browser/screenshots.py \\
      --server build/server/pelvoran-server --out docs/screenshots
"""

import argparse
import base64
import datetime
import hashlib
import json
import math
import os
import random
import sqlite3
import sys
import urllib.parse
import urllib.request

from selenium.webdriver.common.by import By

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import browser_support as support  # noqa: E402

RELEASE = ["--version", "1.06", "--address", "https://example.com/pelvoran-1.06.exe",
           "--date", "2026年12月1日",
           "--notes", "修正：全角编号（如 ＵＥ０９４５）现在按半角查询\n新增：手机上也能查询和留言"]

# (where it is sent, the text, the bot-trap field)
COMMENTS = [
    ("desktop", "EF 50mm f/1.8 II，编号 UF1234，查到 1991 年 10 月，和发票对得上。", ""),
    ("web", "手机上查 ＵＥ０９４５ 也能出结果了，谢谢！", ""),
    ("desktop", "我的 EF 28-135 机身上是十位数字 6831234567，\n查到 2010 年 6 月，对吗？", ""),
    ("web", "<b>希望</b>加上 RF 镜头的数据。", ""),
    ("web", "cheap lenses here", "http://spam.example/"),
]

# The publisher's side of a conversation: a comment from a tool that can
# fetch an answer (its reply key, from a fixed secret), and the answer the
# publisher writes on its page.
ANSWERED = "EF 100mm f/2.8 USM 的编号是 5012345，没有日期码，请问怎么查生产年份？"
ANSWER = ("您好！这个镜头卡口上的编号不含日期。请看镜头尾部靠近卡口的红色或白色小字，"
          "形如 UR1234 的就是日期码，填进查询框即可。")
REPLY_SECRET = bytes(range(16))
# Comments held as likely spam (a link, a phone number, a contact), as they
# come: (where it is sent, the text).
HELD = [
    ("desktop", "全新原装镜头低价出，详情看 lens-deal[.]top"),
    ("web", "收二手镜头，高价回收，电话 138 1234 5678"),
    ("web", "镜头维修找我，加微信 lensfix2026"),
]


def post(url, body, headers=None):
    """Posts a form; the reply's headers."""
    request = urllib.request.Request(url, data=body.encode(), method="POST", headers={
        "Content-Type": "application/x-www-form-urlencoded", **(headers or {})})
    with urllib.request.urlopen(request, timeout=support.STEP_SECONDS) as reply:
        reply.read()
        return reply.headers


def post_comment(server, where, text, headers=None):
    """Posts a comment as a tool (GBK bytes, escaped) or the lookup page
    sends it; the reply's headers."""
    if where == "desktop":
        return post(server.public + "/Canon/comment.asp",
                    "CommentText=" + urllib.parse.quote(text.encode("gbk")), headers)
    return post(server.public + "/comment", urllib.parse.urlencode({"text": text}), headers)


def sketch(clients, rng):
    """A day's distinct-client sketch as the server keeps it: 2^12 registers,
    each the longest run of zero bits (plus one) of the hashes it got."""
    registers = bytearray(4096)
    for _ in range(clients):
        h = rng.getrandbits(64)
        rest = ((h << 12) & (2**64 - 1)) | (1 << 11)
        registers[h >> 52] = max(registers[h >> 52], 64 - rest.bit_length() + 1)
    return bytes(registers)


def sample_use(state):
    """Eight weeks of update checks: tools that send no agent (1.05 and
    older) until 1.06, published 24 days ago, takes over on both
    platforms; its offers and downloads alike. Fixed seed: the same
    picture every run."""
    rng = random.Random(106)
    db = sqlite3.connect(os.path.join(state, "comments.sqlite"), timeout=10)
    today = (datetime.date.today() - datetime.date(1970, 1, 1)).days
    published = today - 24
    noon = datetime.datetime.combine(datetime.date.today() - datetime.timedelta(days=24),
                                     datetime.time(12))
    db.execute("UPDATE release_history SET time = ? WHERE version = '1.06'",
               (int(noon.timestamp()),))
    rows = []
    for day in range(today - 55, today + 1):
        checks = int(320 + 60 * math.sin(day / 7 * 2 * math.pi) + rng.randint(-20, 20))
        share = 0 if day < published else 0.9 / (1 + math.exp(-(day - published - 7) / 2.5))
        new = int(checks * share)
        linux = new // 5
        early = checks - new
        rows += [(day, "check", "", "1.05 或更早", early),
                 (day, "check", "windows", "1.06", new - linux),
                 (day, "check", "linux", "1.06", linux)]
        if day >= published:
            rows += [(day, "offer", "windows", "1.06", early),
                     (day, "download", "windows", "1.06", max(1, early // 8))]
        db.execute("INSERT OR REPLACE INTO field_clients (day, registers) VALUES (?, ?)",
                   (day, sketch(int(checks * 0.7), rng)))
    db.executemany("INSERT INTO field_counts (day, kind, platform, version, n) "
                   "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO UPDATE SET n = n + excluded.n", rows)
    db.commit()
    db.close()


def shoot(driver, path, width, height=None, mobile=False, scale=1, at=None):
    """The page at `width`; the whole of it unless a height is given, from
    the element `at` (a selector) when one is given."""
    support.set_viewport(driver, width, height or 800, mobile, scale)
    if height is None:
        full = driver.execute_script("return document.documentElement.scrollHeight")
        support.set_viewport(driver, width, full, mobile, scale)
    if at is not None:
        driver.execute_script("document.querySelector(arguments[0]).scrollIntoView()", at)
    with open(path, "wb") as f:
        f.write(driver.get_screenshot_as_png())
    print("%s: %d bytes" % (path, os.path.getsize(path)))


def phone_conversation(driver, server, out):
    """A comment sent from a phone, its receipt with the reply code, the
    publisher's answer on the admin page (the browser is signed in), and the
    answer read with the code."""
    text = "EF 70-200mm f/4L USM 镜头上的代码是 UV1234，是哪一年生产的？"
    support.open_page(driver, server.public + "/")
    driver.execute_script("document.getElementById('text').value = arguments[0]", text)
    support.submit(driver, driver.find_element(By.CSS_SELECTOR,
                                               "form[action^='/comment#'] button"))
    shoot(driver, os.path.join(out, "web-receipt-phone.png"), 390, 844, True,
          at="#comment-title")
    code = driver.find_element(By.ID, "reply-code-shown").text
    exported = [json.loads(line) for line in server.command("comments", "export").splitlines()]
    number = next(c["id"] for c in exported if c["text"] == text)
    support.open_page(driver, server.admin + "/comment?id=%d" % number)
    driver.execute_script("document.getElementById('answer-text').value = arguments[0]",
                          "谢谢留言！\n在本页上方的查询框输入 UV1234，显示的就是生产年月。")
    support.submit(driver, driver.find_element(
        By.CSS_SELECTOR, "form[action='/comments/answer'] button"))
    support.open_page(driver, server.public + "/")
    driver.find_element(By.ID, "reply-code").send_keys(code)
    support.submit(driver, driver.find_element(By.CSS_SELECTOR,
                                               "form[action^='/reply#'] button"))
    shoot(driver, os.path.join(out, "web-answer-phone.png"), 390, 844, True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    support.own_descendants(__file__)

    dirs = support.TempDir("pelvoran-shots-")
    state = os.path.join(dirs.path, "state")
    server = driver = None
    try:
        os.makedirs(state)
        server = support.ServerProcess(args.server, state)
        server.command("release", "set", *RELEASE)
        # Linux's, staged: the use page shows a rollout beside the figures.
        server.command("release", "set", "--platform", "linux", "--rollout", "50",
                       *(RELEASE[:3] + ["https://example.com/pelvoran_1.06_amd64.deb"] +
                         RELEASE[4:]))
        support.wait_until_served(server, "windows", RELEASE[1])
        for where, text, trap in COMMENTS:
            if where == "desktop":  # as the tool sends Chinese: GBK bytes, escaped
                post_comment(server, where, text)
            else:
                post(server.public + "/comment",
                     urllib.parse.urlencode({"text": text, "website": trap}))
        admin_url = server.command("admin-url").strip()

        driver = support.start_browser()
        support.set_viewport(driver, 1000, 800, False)
        support.open_page(driver, admin_url)
        shoot(driver, os.path.join(args.out, "web-admin-comments.png"), 1000)
        support.open_page(driver, server.admin + "/release")
        shoot(driver, os.path.join(args.out, "web-release-preview.png"), 1000)
        support.set_viewport(driver, 390, 844, True)
        support.open_page(driver, server.public + "/?code=" + urllib.parse.quote("ＵＥ０９４５"))
        shoot(driver, os.path.join(args.out, "web-lookup-phone.png"), 390, 844, True)
        phone_conversation(driver, server, args.out)
        sample_use(state)
        support.set_viewport(driver, 1280, 900, False)
        support.open_page(driver, server.admin + "/use")
        shoot(driver, os.path.join(args.out, "web-admin-use.png"), 1280)
        support.set_viewport(driver, 390, 844, True)
        support.open_page(driver, server.admin + "/use")
        shoot(driver, os.path.join(args.out, "web-admin-use-phone.png"), 390, mobile=True)

        # Posted after the pictures above, which stay as they were.
        key = base64.urlsafe_b64encode(hashlib.sha256(REPLY_SECRET).digest()).rstrip(b"=")
        number = post_comment(server, "desktop", ANSWERED,
                              {"Pelvoran-Reply-Key": key.decode()})["Pelvoran-Comment-Number"]
        for where, text in HELD:
            post_comment(server, where, text)
        support.set_viewport(driver, 1000, 800, False)
        support.open_page(driver, server.admin + "/comment?id=" + number)
        box = driver.find_element(By.ID, "answer-text")
        driver.execute_script("arguments[0].value = arguments[1]", box, ANSWER)
        support.submit(driver, driver.find_element(
            By.CSS_SELECTOR, "form[action='/comments/answer'] button[type=submit]"))
        shoot(driver, os.path.join(args.out, "web-admin-answer.png"), 1000)
        # The held list, from its heading down.
        support.open_page(driver, server.admin + "/comments")
        support.set_viewport(driver, 1000, 640, False)
        driver.execute_script("document.getElementById('held').scrollIntoView();"
                              "window.scrollBy(0, -24)")
        shoot(driver, os.path.join(args.out, "web-admin-held.png"), 1000, 640)
    finally:
        if driver is not None:
            driver.quit()
        if server is not None:
            server.stop()
        dirs.remove()


if __name__ == "__main__":
    sys.exit(main())
