#include "server/pages/notify_pages.h"

#include "server/http/web.h"
#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
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
           "\" name=\"flagged\" value=\"1\"" + (checked ? " checked" : "") +
           ">也通知疑似机器人的留言</label>\n";
}

std::string recipientItem(const RecipientRow& r, const std::string& csrf) {
    const std::string id = std::to_string(r.id);
    std::string out = "<li><article aria-labelledby=\"r" + id + "\"><h3 id=\"r" + id + "\">#" + id +
                      " " + escapeHtml(r.kind) + "</h3>\n<p>" + escapeHtml(r.address);
    if (r.email)
        out += "<br>经 " + escapeHtml(r.smtp) +
               (r.user.empty() ? "" : "（用户 " + escapeHtml(r.user) + "）");
    out += "</p>\n<p class=\"muted\">" +
           std::string(r.flagged ? "也通知疑似机器人的留言" : "不通知疑似机器人的留言") +
           " · <span class=\"keep\">上次送达：" +
           (r.lastSuccess == std::chrono::sys_seconds{} ? std::string("从未")
                                                        : localTimeText(r.lastSuccess)) +
           "</span> · <span class=\"keep\">待发送 " + std::to_string(r.pending) + " 条</span>";
    if (r.givenUp > 0)
        out += " · <span class=\"keep\">放弃 " + std::to_string(r.givenUp) + " 条</span>";
    out += "</p>\n";
    if (r.failures > 0 || !r.lastError.empty())
        out += "<p class=\"error\">" +
               (r.failures > 0 ? "自 " + localTimeText(r.failingSince) + " 起连续失败 " +
                                     std::to_string(r.failures) + " 次。"
                               : std::string()) +
               "上次错误（" + localTimeText(r.lastErrorAt) + "）：" + escapeHtml(r.lastError) +
               "</p>\n";
    out += "<div class=\"actions\"><form method=\"post\" action=\"/notify\">" +
           hiddenInput("csrf", csrf) + hiddenInput("action", "test") + hiddenInput("id", id) +
           "<button type=\"submit\" class=\"quiet\" aria-describedby=\"r" + id +
           "\">试发一条</button></form><a class=\"button quiet\" href=\"/notify/remove?id=" + id +
           "\" aria-describedby=\"r" + id + "\">删除</a></div></article></li>\n";
    return out;
}

} // namespace

std::string notifyPage(const NotifyView& v) {
    std::string main = "<h1>通知</h1>\n<p>每条新留言都会立即通知下列接收方；发送失败时会在一天内"
                       "反复重试，间隔逐渐变长。密钥和密码保存后不再显示。</p>\n";
    if (!v.linked)
        main += "<p class=\"muted\">服务器启动时没有给出 --admin-base-url，通知中没有指向留言的"
                "链接。</p>\n";
    if (!v.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(v.notice) + "</p>\n";
    if (!v.error.empty())
        main += "<p class=\"error\" role=\"alert\">" + escapeHtml(v.error) + "</p>\n";
    main += "<h2>接收方</h2>\n";
    if (v.recipients.empty())
        main += "<p>还没有接收方：新留言不会通知任何人。</p>\n";
    else {
        main += "<ol class=\"comments\">\n";
        for (const auto& r : v.recipients)
            main += recipientItem(r, v.csrf);
        main += "</ol>\n";
    }
    const bool mailDraft = v.draft.email;
    main += "<h2>添加 webhook</h2>\n<form method=\"post\" action=\"/notify\">" +
            hiddenInput("csrf", v.csrf) + hiddenInput("action", "webhook") +
            input("url", "接收地址（URL）", "url", mailDraft ? "" : v.draft.address,
                  " autocomplete=\"off\"") +
            input("secret", "签名密钥", "password", "", " autocomplete=\"new-password\"") +
            flaggedBox("webhook-flagged", !mailDraft && v.draft.flagged) +
            "<button type=\"submit\">添加 webhook</button></form>\n";
    main +=
        "<h2>添加电子邮件</h2>\n<form method=\"post\" action=\"/notify\">" +
        hiddenInput("csrf", v.csrf) + hiddenInput("action", "email") +
        input("address", "收件地址", "email", mailDraft ? v.draft.address : "",
              " autocomplete=\"email\"") +
        input("smtp", "SMTP 服务器（smtps://… 或 smtp://…:587）", "text",
              mailDraft ? v.draft.smtp : "", " autocomplete=\"off\"") +
        input("user", "SMTP 用户（可不填）", "text", mailDraft ? v.draft.user : "",
              " autocomplete=\"off\"") +
        input("password", "SMTP 密码（可不填）", "password", "", " autocomplete=\"new-password\"") +
        input("ca_file", "私有 CA 证书文件在服务器上的路径（可不填）", "text",
              mailDraft ? v.draft.caFile : "", " autocomplete=\"off\"") +
        flaggedBox("email-flagged", mailDraft && v.draft.flagged) +
        "<button type=\"submit\">添加电子邮件</button></form>\n";
    return adminFrame("通知", main, "/notify");
}

std::string removeRecipientPage(const RecipientRow& r, const std::string& csrf) {
    const std::string id = std::to_string(r.id);
    return adminFrame("删除接收方",
                      "<h1>删除接收方 #" + id + "？</h1>\n<p>" + escapeHtml(r.kind) + " " +
                          escapeHtml(r.address) + "</p>\n<p>它待发送的 " +
                          std::to_string(r.pending) +
                          " 条通知也一并删除；以后的新留言不再通知它。</p>\n"
                          "<form method=\"post\" action=\"/notify/remove\">" +
                          hiddenInput("csrf", csrf) + hiddenInput("id", id) +
                          "<button type=\"submit\" class=\"danger\">删除这个接收方</button>"
                          "<a class=\"button quiet\" href=\"/notify\">取消</a></form>\n",
                      "/notify");
}

std::string noSuchRecipientPage() {
    return adminFrame("出错了",
                      "<h1>没有这个接收方</h1>\n<p>它可能已被删除。请回到<a "
                      "href=\"/notify\">通知</a>页面刷新后重试。</p>\n",
                      "/notify");
}

std::string oneCommentPage(const CommentRow& c, const std::string& csrf) {
    const std::string id = std::to_string(c.id);
    return adminFrame("第 " + id + " 条留言",
                      "<h1>第 " + id + " 条留言</h1>\n<article aria-labelledby=\"c" + id +
                          "\" class=\"quote\">" + commentDetails(c) + "\n<p class=\"text\">" +
                          escapeHtml(toUtf8(c.text)) + "</p>\n<div class=\"actions\">" +
                          (c.flagged || c.read
                               ? std::string()
                               : "<form method=\"post\" action=\"/comments/mark\">" +
                                     hiddenInput("csrf", csrf) + hiddenInput("id", id) +
                                     hiddenInput("read", "1") + hiddenInput("back", "/comments") +
                                     "<button type=\"submit\" class=\"quiet\">标为已读</button>"
                                     "</form>") +
                          "<a class=\"button quiet\" href=\"/comments/delete?id=" + id +
                          "\">删除</a><a class=\"button quiet\" href=\"/comments\">全部留言</a>"
                          "</div></article>\n",
                      "/comments");
}

} // namespace pelvoran::server
