#include "server/pages/admin_pages.h"

#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/support/state_files.h"

namespace pelvoran::server {
namespace {

constexpr char kGoneForGood[] =
    "<p>删除后无法恢复：留言从数据库文件中抹去，不只是隐藏。每日备份（状态目录中的 "
    "backups）仍保留它，直到七天后轮换掉。</p>\n";

std::string confirmForm(const std::string& field, const std::string& value, const std::string& csrf,
                        const std::string& button) {
    return "<form method=\"post\" action=\"/comments/delete\">" + hiddenInput("csrf", csrf) +
           hiddenInput(field, value) + "<button type=\"submit\" class=\"danger\">" + button +
           "</button><a class=\"button quiet\" href=\"/comments\">取消</a></form>\n";
}

} // namespace

std::string deleteCommentPage(const CommentRow& c, const std::string& csrf) {
    const std::string id = std::to_string(c.id);
    return adminFrame("删除留言",
                      "<h1>删除第 " + id + " 条留言？</h1>\n<article aria-labelledby=\"c" + id +
                          "\" class=\"quote\">" + commentDetails(c) + "\n<p class=\"text\">" +
                          escapeHtml(toUtf8(c.text)) + "</p></article>\n" + kGoneForGood +
                          confirmForm("id", id, csrf, "删除这条留言"),
                      "/comments");
}

std::string deleteFlaggedPage(std::int64_t count, const std::string& csrf) {
    const std::string n = std::to_string(count);
    return adminFrame("删除疑似机器人留言",
                      "<h1>删除全部 " + n + " 条疑似机器人留言？</h1>\n" + kGoneForGood +
                          confirmForm("flagged", "1", csrf, "删除这 " + n + " 条留言"),
                      "/comments");
}

std::string deletedNotWipedPage(std::int64_t count) {
    return adminFrame(
        "已删除",
        "<h1>已删除 " + std::to_string(count) +
            " 条留言</h1>\n<p class=\"error\">数据库正被读取，预写日志（" + kDatabaseFile +
            kWalSuffix +
            "）中可能还留着删除的文字。服务器停止时会抹去它；如果这很要紧，请重启服务器"
            "（<code>sudo systemctl restart pelvoran-server</code>）。</p>\n"
            "<p><a href=\"/comments\">回到留言</a></p>\n",
        "/comments");
}

std::string badDeletePage() {
    return adminFrame("出错了",
                      "<h1>出错了</h1>\n<p>表单中的留言编号（id）不对。"
                      "请回到<a href=\"/comments\">留言</a>页面刷新后重试。</p>\n",
                      "/comments");
}

} // namespace pelvoran::server
