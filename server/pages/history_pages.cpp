#include "server/pages/admin_pages.h"

#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/support/time_text.h"

#include <algorithm>

namespace pelvoran::server {
namespace {

/// When something happened; rows kept from before the history began have
/// no time.
std::string when(std::chrono::sys_seconds time) {
    if (time == std::chrono::sys_seconds{})
        return "<span class=\"keep\">时间不详</span>";
    return "<time class=\"keep\" datetime=\"" + isoUtc(time) + "\">" + localTimeText(time) +
           "</time>";
}

std::string sourceText(const std::string& source) {
    return source.empty() ? "来源不详" : escapeHtml(source);
}

std::string historyRow(const ReleaseRow& c, bool live, const std::string& csrf) {
    const std::string id = "h" + std::to_string(c.id);
    const Release& r = c.release;
    std::string out = live ? "<li class=\"live\">" : "<li>";
    out += "<article aria-labelledby=\"" + id + "\"><p class=\"muted\" id=\"" + id +
           "\"><span class=\"keep\">#" + std::to_string(c.id) + "</span> · " + when(c.time) +
           " · <span class=\"keep\">" + sourceText(c.source) + "</span> · <strong class=\"keep\">" +
           (c.published ? "发布 " + escapeHtml(toUtf8(r.version)) : std::string("撤下")) +
           "</strong>" + (live ? " · <strong class=\"keep\">现在发布的就是它</strong>" : "") +
           "</p>\n";
    if (!c.published)
        return out + "</article></li>\n";
    out += "<dl><dt>下载地址</dt><dd>" + escapeHtml(toUtf8(r.address)) + "</dd>";
    if (c.file)
        out += "<dt>本服务器提供的文件</dt><dd>" + escapeHtml(c.file->name) + "，" +
               sizeText(c.file->size) + "<br>SHA-256：<code class=\"hash\">" +
               escapeHtml(c.file->sha256) + "</code></dd>";
    out += "<dt>发布日期</dt><dd>" + escapeHtml(toUtf8(r.date)) +
           "</dd><dt>更新说明</dt><dd class=\"text\">" + escapeHtml(toUtf8(r.notes)) +
           "</dd></dl>\n";
    if (!live)
        out += "<form method=\"post\" action=\"/release/republish\">" + hiddenInput("csrf", csrf) +
               hiddenInput("id", std::to_string(c.id)) +
               "<button type=\"submit\" class=\"quiet\" aria-describedby=\"" + id +
               "\">重新发布</button></form>\n";
    return out + "</article></li>\n";
}

} // namespace

std::string releaseHistorySection(const ReleaseRows& history, const std::optional<Release>& shown,
                                  const std::string& csrf) {
    std::string out = "<h2>发布记录</h2>\n";
    if (history.changes.empty())
        return out + "<p>还没有发布或撤下过版本。</p>\n";
    out += "<p class=\"muted\">最新的在前。“重新发布”按原样再发布那一行的内容，"
           "和上面的表单一样先检查。</p>\n";
    if (history.total > static_cast<std::int64_t>(history.changes.size()))
        out += "<p>共 " + std::to_string(history.total) + " 条记录，这里只列出最新的 " +
               std::to_string(history.changes.size()) +
               " 条；全部记录请在服务器上运行 <code>pelvoran-server release history</code>。</p>\n";
    out += "<ol class=\"log\">\n";
    for (const auto& c : history.changes) {
        // Only the newest row can be what is live now.
        const bool live =
            &c == &history.changes.front() && c.published && shown && *shown == c.release;
        out += historyRow(c, live, csrf);
    }
    return out + "</ol>\n";
}

std::string badRepublishPage(const std::string& why) {
    return adminFrame("出错了",
                      "<h1>出错了</h1>\n<p>" + escapeHtml(why) +
                          "请回到<a href=\"/release\">发布版本</a>页面刷新后重试。</p>\n",
                      "/release");
}

std::string auditPage(const AuditView& view) {
    const std::int64_t pages =
        std::max<std::int64_t>(1, (view.log.total + kAuditPerPage - 1) / kAuditPerPage);
    std::string main = "<h1>操作记录</h1>\n<p>发布者做过的每个操作：发布、撤下、重新发布、"
                       "删除留言、登录与退出、恢复备份等。记录只能追加，不能修改或删除。"
                       "除登录时管理者自己的地址外，不记录任何访问者的地址。</p>\n";
    main += "<h2>共 " + std::to_string(view.log.total) + " 条，第 " + std::to_string(view.pageNo) +
            "/" + std::to_string(pages) + " 页</h2>\n";
    main += view.log.entries.empty() ? "<p>这一页没有记录。</p>\n" : "<ol class=\"log\">\n";
    for (const auto& e : view.log.entries) {
        main += "<li><p class=\"muted\">" + when(e.time) + " · <span class=\"keep\">" +
                sourceText(e.source) + "</span>" +
                (e.address.empty()
                     ? ""
                     : " · <span class=\"keep\">来自 " + escapeHtml(e.address) + "</span>") +
                "</p><p><strong>" + escapeHtml(e.action) + "</strong> " + escapeHtml(e.detail) +
                "</p></li>\n";
    }
    if (!view.log.entries.empty())
        main += "</ol>\n";
    if (pages > 1) {
        main += "<nav aria-label=\"分页\"><p>";
        if (view.pageNo > 1)
            main +=
                "<a class=\"button quiet\" href=\"/audit?page=" + std::to_string(view.pageNo - 1) +
                "\">上一页（较新）</a>";
        if (view.pageNo < pages)
            main +=
                "<a class=\"button quiet\" href=\"/audit?page=" + std::to_string(view.pageNo + 1) +
                "\">下一页（较早）</a>";
        main += "</p></nav>\n";
    }
    return adminFrame("操作记录", main, "/audit");
}

} // namespace pelvoran::server
