#!/usr/bin/python3
"""A webhook receiver and an SMTP receiver on 127.0.0.1, for the tests of
the server's notifications.

Each webhook POST is checked against the secret (HMAC-SHA256 of the body,
in X-Pelvoran-Signature) and appended to OUT/webhook.jsonl as one line
{"ok": signature valid, "type": Content-Type, "id", "url", "flagged",
"source", "text"} (the body's values), and as it came to OUT/webhook.txt; each mail
aiosmtpd takes is appended to OUT/mail.jsonl as {"to", "subject" and
"text" decoded} and as it came to OUT/mail.txt. With --smtp-auth the SMTP
server offers AUTH without TLS, as a careless relay would, and appends each
login it is given to OUT/auth.jsonl as {"user", "password"}. A line "ready"
on standard output says both listen.
"""

import argparse
import email
import email.header
import email.policy
import hashlib
import hmac
import http.server
import json
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def append(path, record):
    with open(path, "a", encoding="utf-8") as out:
        out.write(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")


def keep(path, text):
    with open(path, "a", encoding="utf-8") as out:
        out.write(text + "\n\n")


class MailHandler:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        raw = envelope.original_content or envelope.content
        message = email.message_from_bytes(raw, policy=email.policy.default)
        subject = str(email.header.make_header(email.header.decode_header(message["Subject"])))
        keep(self.path + ".txt", raw.decode("utf-8", "replace"))
        append(self.path + ".jsonl", {
            "to": envelope.rcpt_tos,
            "subject": subject,
            "text": message.get_content().replace("\r\n", "\n"),
        })
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--smtp-port", type=int, default=0)
    parser.add_argument("--secret", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--smtp-auth", action="store_true")
    args = parser.parse_args()
    secret = args.secret.encode()
    hooks = args.out + "/webhook"

    class Hook(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            signature = self.headers.get("X-Pelvoran-Signature", "")
            expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
            keep(hooks + ".txt", "".join(f"{k}: {v}\n" for k, v in self.headers.items()) +
                 "\n" + body.decode("utf-8"))
            sent = json.loads(body)
            append(hooks + ".jsonl", {
                "ok": hmac.compare_digest(signature, expected),
                "type": self.headers.get("Content-Type", ""),
                "id": sent["id"],
                "url": sent["url"],
                "flagged": sent["flagged"],
                "source": sent["source"],
                "text": sent["text"],
            })
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    web = http.server.ThreadingHTTPServer(("127.0.0.1", args.http_port), Hook)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    def login(server, session, envelope, mechanism, data):
        if isinstance(data, LoginPassword):
            append(args.out + "/auth.jsonl", {"user": data.login.decode(errors="replace"),
                                              "password": data.password.decode(errors="replace")})
        return AuthResult(success=True)

    if args.smtp_port:
        auth = {"authenticator": login, "auth_require_tls": False} if args.smtp_auth else {}
        smtp = Controller(MailHandler(args.out + "/mail"), hostname="127.0.0.1",
                          port=args.smtp_port, **auth)
        smtp.start()
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    sys.exit(main())
