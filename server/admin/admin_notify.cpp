#include "server/admin/admin_reply.h"
#include "server/admin/admin_site.h"
#include "server/admin/admin_texts.h"
#include "server/admin/page_rows.h"
#include "server/comments/comment_export.h"
#include "server/notify/notify.h"
#include "server/pages/admin_pages.h"
#include "server/pages/notify_pages.h"
#include "server/store/store.h"
#include "server/support/log.h"
#include "server/support/state_files.h"

#include <fstream>

namespace pelvoran::server {

namespace {

/// Why the add form's recipient cannot be kept, for the page; empty when it can.
std::string problem(const Recipient& r) {
    if (r.kind == NotifyKind::Webhook) {
        if (!isWebAddress(r.address))
            return admin_text::kWebhookAddress;
        if (hasUserInfo(r.address))
            return admin_text::kWebhookUserInfo;
        if (r.secret.empty() || r.secret.size() > kMaxSecret)
            return admin_text::kWebhookSecret;
        return "";
    }
    if (!isMailAddress(r.address))
        return admin_text::kMailAddress;
    if ((!r.smtp.starts_with("smtp://") && !r.smtp.starts_with("smtps://")) ||
        urlHost(r.smtp).empty() || !isPlainAscii(r.smtp))
        return admin_text::kSmtpAddress;
    if (hasUserInfo(r.smtp))
        return admin_text::kSmtpUserInfo;
    if (r.user.empty() != r.secret.empty())
        return admin_text::kSmtpUserAlone;
    if (r.secret.size() > kMaxSecret)
        return admin_text::kSmtpPassword;
    if (!r.caFile.empty() && (!r.caFile.starts_with('/') || !std::ifstream(r.caFile)))
        return admin_text::unreadableCaFile(r.caFile);
    return "";
}

std::string described(const Recipient& r) {
    return "#" + std::to_string(r.id) + "（" +
           (r.kind == NotifyKind::Email ? admin_text::kMailKind : admin_text::kWebhookKind) +
           shownAddress(r.address) + "）";
}

} // namespace

WebResponse AdminSite::oneComment(const WebRequest& request, const std::string& csrf) {
    const auto id = wholeNumber(value(request.query, "id"));
    if (!id || *id < 1)
        return page(400, badDeletePage());
    Database db(database_);
    const auto c = db.comments().find(*id);
    if (!c)
        return page(404, noSuchCommentPage(*id));
    return page(200, oneCommentPage(commentRow(*c), csrf, {answerRow(db.answers().find(*id))}));
}

WebResponse AdminSite::answer(const WebRequest& request, const std::string& csrf, bool withdraw) {
    const auto form = parseForm(request.body);
    const auto id = wholeNumber(value(form, "id"));
    if (!id || *id < 1)
        return page(400, badDeletePage());
    Database db(database_);
    AnswerView view;
    AnswerRefused refused = AnswerRefused::None;
    unsigned status = 200;
    if (withdraw) {
        refused = db.answers().withdraw(*id, kByPages);
        view.notice = admin_text::kAnswerWithdrawn;
    } else {
        const Text text = cleanAnswer(fromUtf8Lenient(value(form, "text")));
        if (const std::size_t chars = codePoints(text); chars > kMaxAnswerChars) {
            view.error = admin_text::answerTooLong(chars);
        } else if (text.find_first_not_of(u" \u3000\n") == Text::npos) {
            view.error = admin_text::kAnswerEmpty;
        } else {
            refused = db.answers().write(*id, text, secondsNow(), kByPages);
            view.notice = admin_text::kAnswerSaved;
        }
        if (!view.error.empty()) {
            status = 400;
            view.draft = text;
        }
    }
    switch (refused) {
    case AnswerRefused::None: break;
    case AnswerRefused::NoComment: return page(404, noSuchCommentPage(*id));
    case AnswerRefused::NoKey: view.error = admin_text::kAnswerNoKey; break;
    case AnswerRefused::Held: view.error = admin_text::kAnswerHeld; break;
    case AnswerRefused::Delivered: view.error = admin_text::kAnswerDelivered; break;
    case AnswerRefused::NoAnswer: view.error = admin_text::kNoAnswer; break;
    }
    if (refused != AnswerRefused::None) {
        status = 409;
        view.notice.clear();
    }
    const auto c = db.comments().find(*id);
    if (!c)
        return page(404, noSuchCommentPage(*id));
    view.answer = answerRow(db.answers().find(*id));
    return page(status, oneCommentPage(commentRow(*c), csrf, view));
}

bool AdminSite::TestSends::start(std::int64_t recipient,
                                 std::function<void(const std::atomic<bool>& abandon)> send) {
    const std::lock_guard lock(mutex_);
    if (finished_ || running_.contains(recipient))
        return false;
    if (const auto done = threads_.find(recipient); done != threads_.end()) {
        done->second.join(); // ended: it left running_
        threads_.erase(done);
    }
    running_.insert(recipient);
    threads_.emplace(recipient, std::thread([this, recipient, send = std::move(send)] {
                         send(abandon_);
                         const std::lock_guard ended(mutex_);
                         running_.erase(recipient);
                     }));
    return true;
}

void AdminSite::TestSends::finish() {
    std::map<std::int64_t, std::thread> threads;
    {
        const std::lock_guard lock(mutex_);
        finished_ = true;
        threads.swap(threads_);
    }
    abandon_ = true;
    for (auto& [recipient, thread] : threads)
        thread.join();
}

std::optional<WebResponse> AdminSite::testSend(const Recipient& recipient, const std::string& csrf,
                                               Later& later) {
    const bool started = tests_.start(recipient.id, [this, r = recipient, csrf,
                                                     later](const std::atomic<bool>& abandon) {
        NotifyView view;
        view.csrf = csrf;
        view.linked = !adminBase_.empty();
        WebResponse answer;
        try {
            const Delivery to{r.kind, r.address, r.smtp, r.user, r.secret, r.caFile};
            const auto now = secondsNow();
            const auto error =
                r.kind == NotifyKind::Webhook
                    ? send(to, notificationJson(testComment(now), commentLink(adminBase_, 0)),
                           RetrySchedule{}.sendTimeout(), &abandon)
                    : send(to, testMail(r.address, now), RetrySchedule{}.sendTimeout(), &abandon);
            Database db(database_);
            if (error && abandon) {
                view.error = admin_text::testInterrupted(described(r));
            } else {
                if (const auto streak = db.outbox().recordTest(r.id, error, now))
                    logError(admin_text::recoveredByTest(logName(r), streakText(*streak, now)));
                db.audit().append(admin_text::kTestAction,
                                  described(r) + (error ? admin_text::kTestUndelivered
                                                        : admin_text::kTestDelivered),
                                  kByPages);
                if (error)
                    view.error = admin_text::testFailed(described(r), *error);
                else
                    view.notice = admin_text::testDelivered(described(r));
            }
            view.recipients = recipientRows(db.outbox().recipients());
            answer = withBanners(page(200, notifyPage(view)));
        } catch (const std::exception& e) {
            answer = page(503, databaseErrorPage(e.what()));
        }
        later(std::move(answer));
    });
    if (started)
        return std::nullopt;
    NotifyView view;
    view.csrf = csrf;
    view.linked = !adminBase_.empty();
    view.error = admin_text::testStillRunning(described(recipient));
    view.recipients = recipientRows(Database(database_).outbox().recipients());
    return page(409, notifyPage(view));
}

std::optional<WebResponse> AdminSite::notifications(const WebRequest& request,
                                                    const std::string& csrf, Later& later) {
    Database db(database_);
    NotifyView view;
    view.csrf = csrf;
    view.linked = !adminBase_.empty();
    unsigned status = 200;
    if (request.method != "POST") {
        if (value(request.query, "added") == "1")
            view.notice = admin_text::kRecipientAdded;
        else if (value(request.query, "removed") == "1")
            view.notice = admin_text::kRecipientRemoved;
    } else {
        const auto form = parseForm(request.body);
        const std::string action = value(form, "action");
        if (action == "test") {
            const auto id = wholeNumber(value(form, "id"));
            const auto r = id ? db.outbox().recipient(*id) : std::nullopt;
            if (!r)
                return page(404, noSuchRecipientPage());
            return testSend(*r, csrf, later);
        } else if (action == "webhook" || action == "email") {
            Recipient r;
            const bool mail = action == "email";
            r.kind = mail ? NotifyKind::Email : NotifyKind::Webhook;
            r.address = value(form, mail ? "address" : "url");
            r.secret = value(form, mail ? "password" : "secret");
            r.smtp = mail ? value(form, "smtp") : "";
            r.user = mail ? value(form, "user") : "";
            r.caFile = mail ? value(form, "ca_file") : "";
            r.flagged = value(form, "flagged") == "1";
            view.error = problem(r);
            if (view.error.empty()) {
                r.id = db.outbox().addRecipient(r);
                db.audit().append(admin_text::kAddRecipientAction, described(r), kByPages);
                return redirect("/notify?added=1");
            }
            view.draft = recipientRow(r); // never the secret, nor a password in an address
            status = 400;
        } else {
            view.error = admin_text::kBadNotifyForm;
            status = 400;
        }
    }
    view.recipients = recipientRows(db.outbox().recipients());
    return page(status, notifyPage(view));
}

WebResponse AdminSite::removeRecipient(const WebRequest& request, const std::string& csrf) {
    const bool post = request.method == "POST";
    const auto form = post ? parseForm(request.body) : request.query;
    const auto id = wholeNumber(value(form, "id"));
    Database db(database_);
    const auto r = id ? db.outbox().recipient(*id) : std::nullopt;
    if (!r)
        return page(404, noSuchRecipientPage());
    if (!post)
        return page(200, removeRecipientPage(recipientRow(*r), csrf));
    db.outbox().removeRecipient(r->id);
    db.audit().append(admin_text::kRemoveRecipientAction, described(*r), kByPages);
    return redirect("/notify?removed=1");
}

} // namespace pelvoran::server
