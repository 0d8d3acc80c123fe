#include "server/admin_site.h"

#include "forms/form_texts.h"
#include "net/update_check.h"
#include "platform/regional.h"
#include "server/comment_decoding.h"
#include "server/comment_export.h"
#include "server/release.h"
#include "server/store.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string_view>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kPerPage = 50;
/// No list is this long; the offset of its last page still fits.
constexpr std::int64_t kMaxPage = std::numeric_limits<std::int64_t>::max() / kPerPage;

std::string value(const std::map<std::string, std::string>& m, const std::string& key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

std::string percentEncode(const std::string& s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

/// A decimal number as a form or an address carries it: digits, a leading
/// minus at most, nothing around them, within 64 bits.
std::optional<std::int64_t> wholeNumber(std::string_view s) {
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || error != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return n;
}

/// The page of a list asked for, 1 to kMaxPage: a number too large for
/// 64 bits asks for the end, anything that is no number for the start.
std::int64_t pageAsked(std::string_view s) {
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || end != s.data() + s.size())
        return 1;
    if (error == std::errc::result_out_of_range)
        return s.front() == '-' ? 1 : kMaxPage;
    if (error != std::errc())
        return 1;
    return std::clamp<std::int64_t>(n, 1, kMaxPage);
}

/// The address of a page of the comment list, as the list links to it.
std::string commentsAddress(std::int64_t pageNo, const std::string& search) {
    std::string to = "/comments";
    char sep = '?';
    if (pageNo > 1) {
        to += "?page=" + std::to_string(pageNo);
        sep = '&';
    }
    if (!search.empty())
        to += sep + std::string("q=") + percentEncode(search);
    return to;
}

/// Where to go back to after marking a comment: the page of the comment list
/// the form names, rebuilt from its page number and search alone, so that
/// nothing else a form carries ends up in the Location header.
std::string returnAddress(std::string_view back) {
    const auto mark = back.find('?');
    if (back.substr(0, mark) != "/comments")
        return "/comments";
    const auto query = mark == std::string_view::npos ? std::map<std::string, std::string>()
                                                      : parseForm(back.substr(mark + 1));
    return commentsAddress(pageAsked(value(query, "page")), value(query, "q"));
}

std::string nav(const std::string& current) {
    std::string out = "<nav aria-label=\"发布者页面\">";
    for (const auto& [path, name] :
         {std::pair{"/comments", "留言"}, std::pair{"/release", "发布版本"},
          std::pair{"/use", "使用情况"}}) {
        out += "<a href=\"";
        out += path;
        out += current == path ? "\" aria-current=\"page\">" : "\">";
        out += name;
        out += "</a>";
    }
    return out + "</nav>";
}

WebResponse page(unsigned status, const std::string& title, const std::string& main,
                 const std::string& current = "") {
    WebResponse r;
    r.status = status;
    r.body = htmlPage(title + " · Pelvoran 发布者页面", main, current.empty() ? "" : nav(current));
    addPageHeaders(r);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse redirect(const std::string& to) {
    WebResponse r;
    r.status = 303;
    r.headers.emplace_back("Location", to);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse refused(unsigned status, const std::string& why) {
    return page(status, "无法进入",
                "<h1>无法进入</h1>\n<p>" + escapeHtml(why) +
                    "</p>\n<p>请在服务器上运行下面的命令，用它打印的地址打开这些页面：</p>\n"
                    "<p><code>pelvoran-server admin-url --state 状态目录</code></p>\n");
}

std::string hidden(const std::string& name, const std::string& v) {
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + escapeHtml(v) + "\">";
}

std::string sourceName(const std::string& source) {
    return source == kFromWeb ? "网页" : "桌面工具";
}

std::string commentItem(const StoredComment& c, const std::string& csrf, const std::string& back) {
    std::string out = c.read || c.flagged ? "<li>" : "<li class=\"unread\">";
    out += "<article aria-labelledby=\"c" + std::to_string(c.id) + "\"><p class=\"muted\" id=\"c" +
           std::to_string(c.id) + "\">#" + std::to_string(c.id) + " · <time datetime=\"" +
           isoUtc(c.received) + "\">" + localTimeText(c.received) + "</time> · " +
           sourceName(c.source) +
           (c.flagged ? ""
            : c.read  ? " · 已读"
                      : " · <strong>未读</strong>") +
           "</p>\n<p class=\"text\">" + escapeHtml(toUtf8(c.text)) + "</p>\n";
    if (!c.flagged) {
        out += "<form method=\"post\" action=\"/comments/mark\">" + hidden("csrf", csrf) +
               hidden("id", std::to_string(c.id)) + hidden("read", c.read ? "0" : "1") +
               hidden("back", back) + "<button type=\"submit\" class=\"quiet\">" +
               (c.read ? "标为未读" : "标为已读") + "</button></form>\n";
    }
    return out + "</article></li>\n";
}

/// The box the tool shows for a release, as text in the page.
std::string offerPreview(const Release& r) {
    const auto offer =
        updateOffer({r.version, r.address, r.date, r.notes}, RegionalSettings::zhCN());
    if (!offer)
        return "<p>工具不会提示这个版本（不比工具的版本新）。</p>\n";
    std::string out = "<figure class=\"box\" aria-label=\"工具显示的更新提示\"><figcaption>" +
                      escapeHtml(toUtf8(offer->title)) + "</figcaption>\n<p>";
    // Each line break once, as the box shows it (notes typed in a browser
    // come with CR LF); the page keeps line breaks (white-space: pre-wrap).
    Text message = oneLfPerLineBreak(offer->message);
    while (!message.empty() && message.back() == u'\n')
        message.pop_back();
    out += escapeHtml(toUtf8(message));
    out += "</p>\n<div class=\"buttons\"><span>" + toUtf8(form_text::kOk) + "</span><span>" +
           toUtf8(form_text::kCancel) + "</span></div></figure>\n";
    return out;
}

std::string field(const std::string& name, const std::string& label, const std::string& v,
                  const std::string& error, bool multiline) {
    std::string out = "<label for=\"" + name + "\">" + label + "</label>\n";
    const std::string described =
        error.empty() ? "" : " aria-invalid=\"true\" aria-describedby=\"" + name + "-error\"";
    if (multiline)
        out += "<textarea id=\"" + name + "\" name=\"" + name + "\" rows=\"6\"" + described + ">" +
               escapeHtml(v) + "</textarea>\n";
    else
        out += "<input id=\"" + name + "\" name=\"" + name + "\" value=\"" + escapeHtml(v) + "\"" +
               described + ">\n";
    if (!error.empty())
        out += "<p class=\"error\" id=\"" + name + "-error\">" + escapeHtml(error) + "</p>\n";
    return out;
}

} // namespace

AdminSite::AdminSite(std::string stateDir, std::string token, UseCounter& use)
    : stateDir_(std::move(stateDir)), use_(use), sessions_(std::move(token)) {}

std::string AdminSite::database() const {
    return (fs::path(stateDir_) / kDatabaseFile).string();
}

WebResponse AdminSite::startSession(const WebRequest& request) {
    const auto cookie = sessions_.start(request);
    if (!cookie)
        return refused(401, "地址中的令牌不对。");
    // The same page, without the token in the address bar or the history;
    // only ever a page of this site, whatever path came with the token.
    std::string to = "/comments";
    if (isAdminPage(request.path)) {
        to = request.path;
        char sep = '?';
        for (const auto& [k, v] : request.query)
            if (k != "token") {
                to += sep + percentEncode(k) + "=" + percentEncode(v);
                sep = '&';
            }
    }
    WebResponse r = redirect(to);
    r.headers.emplace_back("Set-Cookie", *cookie);
    return r;
}

WebResponse AdminSite::handle(const WebRequest& request, Route route) {
    if (route == Route::StyleSheet)
        return styleSheet();
    if (request.query.contains("token"))
        return startSession(request);
    const auto session = sessions_.find(request);
    if (!session)
        return refused(401, "需要先登录。");
    if (request.method == "POST") {
        switch (AdminSessions::checkPost(request, *session)) {
        case AdminSessions::PostCheck::Allowed: break;
        case AdminSessions::PostCheck::OtherOrigin:
            return page(403, "拒绝", "<h1>拒绝</h1>\n<p>这个请求来自其他网站，已拒绝。</p>\n");
        case AdminSessions::PostCheck::StaleForm:
            return page(403, "拒绝",
                        "<h1>拒绝</h1>\n<p>表单已过期，请回到上一页刷新后重试。</p>\n");
        }
    }
    try {
        return this->route(request, route, session->csrf);
    } catch (const std::exception& e) {
        return page(503, "出错了",
                    "<h1>出错了</h1>\n<p>数据库暂时无法使用：" + escapeHtml(e.what()) + "</p>\n");
    }
}

WebResponse AdminSite::route(const WebRequest& request, Route route, const std::string& csrf) {
    switch (route) {
    case Route::AdminHome: return redirect("/comments");
    case Route::AdminComments: return comments(request, csrf);
    case Route::AdminCommentsCsv: return exportComments(true);
    case Route::AdminCommentsJsonl: return exportComments(false);
    case Route::AdminMark: return mark(request);
    case Route::AdminRelease: return release(request, csrf);
    case Route::AdminUse: return use();
    default:
        return page(404, "没有这个页面",
                    "<h1>没有这个页面</h1>\n<p><a href=\"/comments\">回到留言</a></p>\n", "/");
    }
}

WebResponse AdminSite::comments(const WebRequest& request, const std::string& csrf) {
    const std::string search = value(request.query, "q");
    std::int64_t pageNo = pageAsked(value(request.query, "page"));
    Database db(database());
    CommentPage list = db.commentPage(search, false, (pageNo - 1) * kPerPage, kPerPage);
    const std::int64_t pages = std::max<std::int64_t>(1, (list.total + kPerPage - 1) / kPerPage);
    if (pageNo > pages) { // past the end: the last page there is
        pageNo = pages;
        list = db.commentPage(search, false, (pageNo - 1) * kPerPage, kPerPage);
    }
    const CommentPage flagged = db.commentPage(search, true, 0, kPerPage);
    const std::string here = commentsAddress(pageNo, search);

    std::string main =
        "<h1>留言</h1>\n<p>未读 <strong>" + std::to_string(db.unreadCount()) +
        "</strong> 条。</p>\n<form method=\"get\" action=\"/comments\" role=\"search\">"
        "<label for=\"q\">搜索留言</label><div class=\"row\"><input id=\"q\" name=\"q\" "
        "value=\"" +
        escapeHtml(search) +
        "\"><button type=\"submit\">搜索</button></div></form>\n"
        "<p><a class=\"button quiet\" href=\"/comments.csv\">导出 CSV</a>"
        "<a class=\"button quiet\" href=\"/comments.jsonl\">导出 JSON Lines</a></p>\n";
    main += "<h2>" + std::string(search.empty() ? "全部留言" : "搜索结果") + "（" +
            std::to_string(list.total) + " 条，第 " + std::to_string(pageNo) + "/" +
            std::to_string(pages) + " 页）</h2>\n";
    if (list.comments.empty())
        main += "<p>没有留言。</p>\n";
    else {
        main += "<ol class=\"comments\">\n";
        for (const auto& c : list.comments)
            main += commentItem(c, csrf, here);
        main += "</ol>\n";
    }
    if (pages > 1) {
        main += "<nav aria-label=\"分页\"><p>";
        if (pageNo > 1)
            main += "<a class=\"button quiet\" href=\"" +
                    escapeHtml(commentsAddress(pageNo - 1, search)) + "\">上一页</a>";
        if (pageNo < pages)
            main += "<a class=\"button quiet\" href=\"" +
                    escapeHtml(commentsAddress(pageNo + 1, search)) + "\">下一页</a>";
        main += "</p></nav>\n";
    }
    if (flagged.total > 0) {
        main += "<h2>疑似机器人填写的留言（" + std::to_string(flagged.total) +
                " 条）</h2>\n<p "
                "class=\"muted\">网页表单中本应留空的一栏被填写了。辅助工具也可能填写它，"
                "所以这些留言照样保存在这里。</p>\n<ol class=\"comments\">\n";
        for (const auto& c : flagged.comments)
            main += commentItem(c, csrf, here);
        main += "</ol>\n";
    }
    return page(200, "留言", main, "/comments");
}

WebResponse AdminSite::mark(const WebRequest& request) {
    const auto form = parseForm(request.body);
    const auto id = wholeNumber(value(form, "id"));
    const std::string read = value(form, "read");
    if (!id || *id < 1 || (read != "0" && read != "1"))
        return page(400, "出错了",
                    "<h1>出错了</h1>\n<p>表单中的留言编号（id）或已读标记（read）不对。"
                    "请回到<a href=\"/comments\">留言</a>页面刷新后重试。</p>\n",
                    "/comments");
    Database db(database());
    if (!db.markRead(*id, read == "1"))
        return page(404, "出错了",
                    "<h1>出错了</h1>\n<p>没有第 " + std::to_string(*id) +
                        " 条留言。请回到<a href=\"/comments\">留言</a>页面刷新后重试。</p>\n",
                    "/comments");
    // Only a page of this site: never an address someone else chose.
    return redirect(returnAddress(value(form, "back")));
}

WebResponse AdminSite::exportComments(bool csv) {
    Database db(database());
    WebResponse r;
    for (const auto& c : db.comments())
        r.body += csv ? csvRecord(c) : jsonLine(c);
    if (csv)
        r.body = "\xEF\xBB\xBF" + csvHeader() + r.body;
    r.type = csv ? "text/csv; charset=utf-8" : "application/jsonl; charset=utf-8";
    r.headers.emplace_back("Content-Disposition", std::string("attachment; filename=\"comments.") +
                                                      (csv ? "csv" : "jsonl") + "\"");
    r.headers.emplace_back("Cache-Control", "no-store");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return r;
}

WebResponse AdminSite::release(const WebRequest& request, const std::string& csrf) {
    Database db(database());
    std::string notice;
    std::map<ReleaseField, std::string> errors;
    Release draft;
    std::optional<Release> shown = db.release();
    bool previewing = false;
    unsigned status = 200;
    if (request.method == "POST") {
        const auto form = parseForm(request.body);
        const std::string action = value(form, "action");
        if (action == "clear") {
            db.clearRelease();
            shown.reset();
            notice = "<p class=\"ok\" role=\"status\">已撤下：工具不再提示更新。</p>\n";
        } else {
            draft = {fromUtf8Lenient(value(form, "version")),
                     fromUtf8Lenient(value(form, "address")), fromUtf8Lenient(value(form, "date")),
                     fromUtf8Lenient(value(form, "notes"))};
            if (const auto problem = checkRelease(draft)) {
                errors[problem->field] = toUtf8(problem->message);
                status = 400;
            } else if (action == "publish") {
                db.setRelease(draft);
                shown = draft;
                notice = "<p class=\"ok\" role=\"status\">已发布 " +
                         escapeHtml(toUtf8(draft.version)) +
                         "：正在运行的服务器一秒内开始提供。</p>\n";
            } else {
                previewing = true;
            }
        }
    }
    const Release& form =
        request.method == "POST" && notice.empty() ? draft : shown.value_or(Release{});
    std::string main = "<h1>发布版本</h1>\n" + notice + "<h2>现在发布的版本</h2>\n";
    if (shown) {
        main += "<dl><dt>版本</dt><dd>" + escapeHtml(toUtf8(shown->version)) +
                "</dd><dt>下载地址</dt><dd>" + escapeHtml(toUtf8(shown->address)) +
                "</dd><dt>发布日期</dt><dd>" + escapeHtml(toUtf8(shown->date)) +
                "</dd><dt>更新说明</dt><dd class=\"text\">" + escapeHtml(toUtf8(shown->notes)) +
                "</dd></dl>\n<form method=\"post\" action=\"/release\">" + hidden("csrf", csrf) +
                hidden("action", "clear") +
                "<button type=\"submit\" class=\"quiet\">撤下这个版本</button></form>\n";
    } else {
        main += "<p>尚未发布新版本：工具不会提示更新。</p>\n";
    }
    if (previewing || shown) {
        main += "<h2>" + std::string(previewing ? "预览：工具将显示" : "工具显示的提示") +
                "</h2>\n" + offerPreview(previewing ? draft : *shown);
    }
    auto fieldError = [&](ReleaseField f) {
        const auto it = errors.find(f);
        return it == errors.end() ? std::string() : it->second;
    };
    main +=
        "<h2>发布新版本</h2>\n<form method=\"post\" action=\"/release\">" + hidden("csrf", csrf) +
        field("version", "版本（例如 1.06）", toUtf8(form.version),
              fieldError(ReleaseField::Version), false) +
        field("address", "下载地址", toUtf8(form.address), fieldError(ReleaseField::Address),
              false) +
        field("date", "发布日期", toUtf8(form.date), fieldError(ReleaseField::Date), false) +
        field("notes", "更新说明", toUtf8(form.notes), fieldError(ReleaseField::Notes), true) +
        "<button type=\"submit\" name=\"action\" value=\"preview\" class=\"quiet\">预览</button>"
        "<button type=\"submit\" name=\"action\" value=\"publish\">发布</button></form>\n";
    return page(status, "发布版本", main, "/release");
}

WebResponse AdminSite::use() {
    constexpr int kDays = 30;
    const std::int64_t today = localDay(std::time(nullptr));
    Database db(database());
    auto counts = db.use(today - kDays + 1);
    for (const auto& [day, n] : use_.pending())
        counts[day] += n;
    std::int64_t most = 1;
    std::int64_t total = 0;
    for (std::int64_t d = today - kDays + 1; d <= today; ++d) {
        most = std::max(most, counts[d]);
        total += counts[d];
    }
    constexpr int kBarWidth = 18, kHeight = 160, kLeft = 40, kBottom = 20;
    const int width = kLeft + kDays * kBarWidth + 10;
    std::string svg =
        "<svg role=\"img\" aria-labelledby=\"chart-title\" viewBox=\"0 0 " + std::to_string(width) +
        " " + std::to_string(kHeight + kBottom + 10) +
        "\" width=\"100%\"><title id=\"chart-title\">最近 30 天每天的更新检查次数，最多 " +
        std::to_string(most) + " 次</title>";
    svg += "<line class=\"axis\" x1=\"" + std::to_string(kLeft) + "\" y1=\"" +
           std::to_string(kHeight + 5) + "\" x2=\"" + std::to_string(width) + "\" y2=\"" +
           std::to_string(kHeight + 5) + "\"/>";
    svg += "<text x=\"0\" y=\"15\">" + std::to_string(most) + "</text><text x=\"0\" y=\"" +
           std::to_string(kHeight + 5) + "\">0</text>";
    std::string rows;
    for (int i = 0; i < kDays; ++i) {
        const std::int64_t day = today - kDays + 1 + i;
        const std::int64_t n = counts[day];
        const int h = static_cast<int>(n * (kHeight - 10) / most);
        const std::time_t t = static_cast<std::time_t>(day * 86400);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char date[16];
        std::strftime(date, sizeof date, "%m-%d", &tm);
        const int x = kLeft + i * kBarWidth + 2;
        svg += "<rect class=\"bar\" x=\"" + std::to_string(x) + "\" y=\"" +
               std::to_string(kHeight + 5 - h) + "\" width=\"" + std::to_string(kBarWidth - 4) +
               "\" height=\"" + std::to_string(h) + "\"><title>" + date + "：" + std::to_string(n) +
               " 次</title></rect>";
        if (i % 5 == 4 || i == kDays - 1)
            svg += "<text x=\"" + std::to_string(x - 6) + "\" y=\"" +
                   std::to_string(kHeight + kBottom + 5) + "\">" + date + "</text>";
        rows = "<tr><th scope=\"row\">" + std::string(date) + "</th><td>" + std::to_string(n) +
               "</td></tr>" + rows;
    }
    svg += "</svg>";
    const std::string main =
        "<h1>使用情况</h1>\n<p>最近 30 天共有 <strong>" + std::to_string(total) +
        "</strong> 次更新检查到达服务器。</p>\n<figure>" + svg +
        "</figure>\n<details><summary>逐日数字</summary><table><thead><tr>"
        "<th scope=\"col\">日期</th><th scope=\"col\">次数</th></tr></thead><tbody>" +
        rows + "</tbody></table></details>\n";
    return page(200, "使用情况", main, "/use");
}

} // namespace pelvoran::server
