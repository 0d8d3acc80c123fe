#include "server/pages/notify_pages.h"

#include "server/http/web.h"
#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/support/time_text.h"

namespace pelvoran::server {
namespace {

std::string input(const std::string& name, const std::string& label, const std::string& type,
                  const std::string& value, const std::string& extra = "") {
    return "<label for=\"" + name + "\">" + label + "</label>\n<input id=\"" + name + "\" name=\"" +
           name + "\" type=\"" + type + "\" value=\"" + escapeHtml(value) + "\"" + extra + ">\n";
}

std::string flaggedBox(const std::string& id, bool checked) {
    return "<label class=\"check\" for=\"" + id + "\"><input type=\"checkbox\" id=\"" + id +
           "\" name=\"flagged\" value=\"1\"" + (checked ? " checked" : "") + ">" +
           page_text::kAlsoFlagged + "</label>\n";
}

std::string recipientItem(const RecipientRow& r, const std::string& csrf) {
    const std::string id = std::to_string(r.id);
    std::string out = "<li><article aria-labelledby=\"r" + id + "\"><h3 id=\"r" + id + "\">#" + id +
                      " " + escapeHtml(r.kind) + "</h3>\n<p>" + escapeHtml(r.address);
    if (r.email)
        out += std::string("<br>") + page_text::kVia + escapeHtml(r.smtp) +
               (r.user.empty() ? "" : page_text::smtpUser(escapeHtml(r.user)));
    out += "</p>\n<p class=\"muted\">" +
           std::string(r.flagged ? page_text::kAlsoFlagged : page_text::kNotFlagged) +
           " · <span class=\"keep\">" + page_text::kLastDelivered +
           (r.lastSuccess == std::chrono::sys_seconds{} ? std::string(page_text::kNever)
                                                        : localTimeText(r.lastSuccess)) +
           "</span> · <span class=\"keep\">" + page_text::pending(r.pending) + "</span>";
    if (r.givenUp > 0)
        out += " · <span class=\"keep\">" + page_text::givenUp(r.givenUp) + "</span>";
    out += "</p>\n";
    if (r.failures > 0 || !r.lastError.empty())
        out += "<p class=\"error\">" +
               (r.failures > 0 ? page_text::failingFor(localTimeText(r.failingSince), r.failures)
                               : std::string()) +
               page_text::lastError(localTimeText(r.lastErrorAt)) + escapeHtml(r.lastError) +
               "</p>\n";
    out += "<div class=\"actions\"><form method=\"post\" action=\"/notify\">" +
           hiddenInput("csrf", csrf) + hiddenInput("action", "test") + hiddenInput("id", id) +
           "<button type=\"submit\" class=\"quiet\" aria-describedby=\"r" + id + "\">" +
           page_text::kSendTest +
           "</button></form><a class=\"button quiet\" href=\"/notify/remove?id=" + id +
           "\" aria-describedby=\"r" + id + "\">" + page_text::kDelete +
           "</a></div></article></li>\n";
    return out;
}

} // namespace

std::string notifyPage(const NotifyView& v) {
    std::string main = std::string("<h1>") + page_text::kNotifyNav + "</h1>\n<p>" +
                       page_text::kNotifyIntro + "</p>\n";
    if (!v.linked)
        main += std::string("<p class=\"muted\">") + page_text::kNoAdminBase + "</p>\n";
    if (!v.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(v.notice) + "</p>\n";
    if (!v.error.empty())
        main += "<p class=\"error\" role=\"alert\">" + escapeHtml(v.error) + "</p>\n";
    main += std::string("<h2>") + page_text::kRecipients + "</h2>\n";
    if (v.recipients.empty())
        main += std::string("<p>") + page_text::kNoRecipients + "</p>\n";
    else {
        main += "<ol class=\"comments\">\n";
        for (const auto& r : v.recipients)
            main += recipientItem(r, v.csrf);
        main += "</ol>\n";
    }
    const bool mailDraft = v.draft.email;
    main += std::string("<h2>") + page_text::kAddWebhook +
            "</h2>\n<form method=\"post\" action=\"/notify\">" + hiddenInput("csrf", v.csrf) +
            hiddenInput("action", "webhook") +
            input("url", page_text::kWebhookUrl, "url", mailDraft ? "" : v.draft.address,
                  " autocomplete=\"off\"") +
            input("secret", page_text::kWebhookSecret, "password", "",
                  " autocomplete=\"new-password\"") +
            flaggedBox("webhook-flagged", !mailDraft && v.draft.flagged) +
            "<button type=\"submit\">" + page_text::kAddWebhook + "</button></form>\n";
    main += std::string("<h2>") + page_text::kAddMail +
            "</h2>\n<form method=\"post\" action=\"/notify\">" + hiddenInput("csrf", v.csrf) +
            hiddenInput("action", "email") +
            input("address", page_text::kMailAddress, "email", mailDraft ? v.draft.address : "",
                  " autocomplete=\"email\"") +
            input("smtp", page_text::kSmtpServer, "text", mailDraft ? v.draft.smtp : "",
                  " autocomplete=\"off\"") +
            input("user", page_text::kSmtpUser, "text", mailDraft ? v.draft.user : "",
                  " autocomplete=\"off\"") +
            input("password", page_text::kSmtpPassword, "password", "",
                  " autocomplete=\"new-password\"") +
            input("ca_file", page_text::kCaFile, "text", mailDraft ? v.draft.caFile : "",
                  " autocomplete=\"off\"") +
            flaggedBox("email-flagged", mailDraft && v.draft.flagged) + "<button type=\"submit\">" +
            page_text::kAddMail + "</button></form>\n";
    return adminFrame(page_text::kNotifyNav, main, "/notify");
}

std::string removeRecipientPage(const RecipientRow& r, const std::string& csrf) {
    const std::string id = std::to_string(r.id);
    return adminFrame(
        page_text::kRemoveRecipientTitle,
        "<h1>" + page_text::removeRecipientQuestion(id) + "</h1>\n<p>" + escapeHtml(r.kind) + " " +
            escapeHtml(r.address) + "</p>\n<p>" + page_text::removedWithIt(r.pending) +
            "</p>\n<form method=\"post\" action=\"/notify/remove\">" + hiddenInput("csrf", csrf) +
            hiddenInput("id", id) + "<button type=\"submit\" class=\"danger\">" +
            page_text::kRemoveRecipient + "</button><a class=\"button quiet\" href=\"/notify\">" +
            page_text::kCancel + "</a></form>\n",
        "/notify");
}

std::string noSuchRecipientPage() {
    return adminFrame(page_text::kErrorTitle,
                      std::string("<h1>") + page_text::kNoSuchRecipient + "</h1>\n<p>" +
                          page_text::kMayBeRemoved + page_text::kBackToPage +
                          "<a href=\"/notify\">" + page_text::kNotifyNav + "</a>" +
                          page_text::kReloadAndRetry + "</p>\n",
                      "/notify");
}

namespace {

/// The answer's part of a comment's page.
std::string answerSection(const CommentRow& c, const std::string& csrf, const AnswerView& view) {
    const std::string id = std::to_string(c.id);
    std::string out = std::string("<section aria-labelledby=\"answer\"><h2 id=\"answer\">") +
                      page_text::kAnswerHeading + "</h2>\n";
    if (!view.notice.empty())
        out += "<p class=\"ok\" role=\"status\">" + escapeHtml(view.notice) + "</p>\n";
    if (!view.error.empty())
        out += "<p class=\"error\" role=\"alert\">" + escapeHtml(view.error) + "</p>\n";
    const auto& answer = view.answer;
    if (answer && answer->delivered != std::chrono::sys_seconds{})
        return out + "<p class=\"text\">" + escapeHtml(toUtf8(answer->text)) + "</p>\n<p>" +
               page_text::answerDelivered(localTimeText(answer->delivered)) + "</p></section>\n";
    if (!c.answerable)
        return out + "<p>" + page_text::kNotAnswerable + "</p></section>\n";
    if (!c.held.empty())
        return out + "<p>" + page_text::kHeldNotAnswerable + "</p></section>\n";
    const Text draft = view.draft ? *view.draft : answer ? answer->text : Text();
    if (answer)
        out += "<p>" + page_text::answerWritten(localTimeText(answer->written)) + "</p>\n";
    // The parser drops a line break right after <textarea>: this one, not
    // the first of the text.
    out += "<form method=\"post\" action=\"/comments/answer\">" + hiddenInput("csrf", csrf) +
           hiddenInput("id", id) + "<label for=\"answer-text\">" + page_text::kAnswerLabel +
           "</label>\n<p class=\"muted\" id=\"answer-hint\">" + page_text::kAnswerHint +
           "</p>\n<textarea id=\"answer-text\" name=\"text\" rows=\"6\" maxlength=\"2000\" "
           "aria-describedby=\"answer-hint\">\n" +
           escapeHtml(toUtf8(draft)) +
           "</textarea>\n<div class=\"actions\"><button type=\"submit\">" + page_text::kSaveAnswer +
           "</button></div></form>\n";
    if (answer)
        out += "<form method=\"post\" action=\"/comments/answer/withdraw\">" +
               hiddenInput("csrf", csrf) + hiddenInput("id", id) +
               "<button type=\"submit\" class=\"quiet\">" + page_text::kWithdrawAnswer +
               "</button></form>\n";
    return out + "</section>\n";
}

} // namespace

std::string oneCommentPage(const CommentRow& c, const std::string& csrf, const AnswerView& answer) {
    const std::string id = std::to_string(c.id);
    return adminFrame(
        page_text::commentNumber(id),
        "<h1>" + page_text::commentNumber(id) + "</h1>\n<article aria-labelledby=\"c" + id +
            "\" class=\"quote\">" + commentDetails(c) + "\n<p class=\"text\">" +
            escapeHtml(toUtf8(c.text)) + "</p>\n<div class=\"actions\">" +
            (!c.held.empty()
                 ? "<form method=\"post\" action=\"/comments/approve\">" +
                       hiddenInput("csrf", csrf) + hiddenInput("id", id) +
                       "<button type=\"submit\">" + page_text::kApprove + "</button></form>"
             : c.flagged || c.read
                 ? std::string()
                 : "<form method=\"post\" action=\"/comments/mark\">" + hiddenInput("csrf", csrf) +
                       hiddenInput("id", id) + hiddenInput("read", "1") +
                       hiddenInput("back", "/comments") +
                       "<button type=\"submit\" class=\"quiet\">" + page_text::kMarkRead +
                       "</button></form>") +
            "<a class=\"button quiet\" href=\"/comments/delete?id=" + id + "\">" +
            page_text::kDelete + "</a><a class=\"button quiet\" href=\"/comments\">" +
            page_text::kAllComments + "</a></div></article>\n" + answerSection(c, csrf, answer),
        "/comments");
}

} // namespace pelvoran::server
