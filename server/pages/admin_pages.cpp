#include "server/pages/admin_pages.h"

#include "platform/hex.h"

#include "forms/form_texts.h"
#include "net/update_check.h"
#include "platform/regional.h"
#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/support/line_breaks.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace pelvoran::server {
namespace {

std::string nav(const std::string& current) {
    std::string out = "<nav aria-label=\"发布者页面\">";
    for (const auto& [path, name] :
         {std::pair{"/comments", "留言"}, std::pair{"/release", "发布版本"},
          std::pair{"/use", "使用情况"}, std::pair{"/notify", "通知"},
          std::pair{"/audit", "操作记录"}}) {
        out += "<a href=\"";
        out += path;
        out += current == path ? "\" aria-current=\"page\">" : "\">";
        out += name;
        out += "</a>";
    }
    // Ends the session for good, on this browser.
    return out + "<form method=\"post\" action=\"/logout\"><button>退出</button></form></nav>";
}

std::string frame(const std::string& title, const std::string& main,
                  const std::string& current = "") {
    return adminFrame(title, main, current);
}

std::string hidden(const std::string& name, const std::string& v) {
    return hiddenInput(name, v);
}

std::string commentItem(const CommentRow& c, const std::string& csrf, const std::string& back) {
    std::string out = c.read || c.flagged ? "<li>" : "<li class=\"unread\">";
    out += "<article aria-labelledby=\"c" + std::to_string(c.id) + "\">" + commentDetails(c) +
           "\n<p class=\"text\">" + escapeHtml(toUtf8(c.text)) + "</p>\n<div class=\"actions\">";
    if (!c.flagged) {
        out += "<form method=\"post\" action=\"/comments/mark\">" + hidden("csrf", csrf) +
               hidden("id", std::to_string(c.id)) + hidden("read", c.read ? "0" : "1") +
               hidden("back", back) + "<button type=\"submit\" class=\"quiet\">" +
               (c.read ? "标为未读" : "标为已读") + "</button></form>";
    }
    out += "<a class=\"button quiet\" href=\"/comments/delete?id=" + std::to_string(c.id) +
           "\" aria-describedby=\"c" + std::to_string(c.id) + "\">删除</a>";
    return out + "</div></article></li>\n";
}

std::string commentList(const CommentRows& list, const std::string& csrf, const std::string& back) {
    std::string out = "<ol class=\"comments\">\n";
    for (const auto& c : list.comments)
        out += commentItem(c, csrf, back);
    return out + "</ol>\n";
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
    // The parser drops a line break right after <textarea>: this one, not
    // the first of the text.
    if (multiline)
        out += "<textarea id=\"" + name + "\" name=\"" + name + "\" rows=\"6\"" + described +
               ">\n" + escapeHtml(v) + "</textarea>\n";
    else
        out += "<input id=\"" + name + "\" name=\"" + name + "\" value=\"" + escapeHtml(v) + "\"" +
               described + ">\n";
    if (!error.empty())
        out += "<p class=\"error\" id=\"" + name + "-error\">" + escapeHtml(error) + "</p>\n";
    return out;
}

std::string signatureLabel(const ReleaseView& view) {
    if (view.signsHere)
        return "签名（留空：用状态目录中的私钥签名）";
    if (view.keyed)
        return "签名（在存放私钥的机器上用 pelvoran-server release sign 生成，sig1: 开头）";
    return "签名（状态目录中没有公钥：更新提示不签名也会发布，但可被途中的人伪造）";
}

/// The file the server is to serve, and the download base when none is
/// stored yet.
std::string fileField(const ReleaseView& view) {
    std::string out =
        "<label for=\"file\">服务器提供的文件（可不选：不选时用上面的下载地址）</label>\n"
        "<input type=\"file\" id=\"file\" name=\"file\"" +
        std::string(view.fileError.empty()
                        ? ""
                        : " aria-invalid=\"true\" aria-describedby=\"file-error\"") +
        ">\n";
    if (!view.fileError.empty())
        out += "<p class=\"error\" id=\"file-error\">" + escapeHtml(view.fileError) + "</p>\n";
    if (view.downloadBase.empty())
        return out + field("base",
                           "下载地址开头（第一次发布文件时填，例如 https://example.com/pelvoran）",
                           view.draftBase, view.baseError, false);
    return out + "<p>文件的下载地址：" + escapeHtml(view.downloadBase) +
           "/download/&lt;平台&gt;/&lt;版本&gt;/&lt;文件名&gt;</p>\n";
}

std::string problemPage(const std::string& text) {
    return frame("出错了", "<h1>出错了</h1>\n<p>" + text + "</p>\n", "/comments");
}

} // namespace

std::string adminFrame(const std::string& title, const std::string& main,
                       const std::string& current) {
    return htmlPage(title + " · Pelvoran 发布者页面", main, current.empty() ? "" : nav(current));
}

std::string failingBanner(const std::vector<RecipientRow>& recipients,
                          std::chrono::sys_seconds now) {
    std::string failing;
    for (const RecipientRow& r : recipients)
        if (r.failures > 0 && r.failingSince <= now - kFailingBannerAfter)
            failing += (failing.empty() ? "" : "、") + std::string("#") + std::to_string(r.id) +
                       "（自 " + localTimeText(r.failingSince) + " 起）";
    if (failing.empty())
        return "";
    return "<p class=\"error\" role=\"alert\">新留言的通知已连续失败一小时以上：接收方 " + failing +
           "。请到<a href=\"/notify\">通知</a>页面查看原因。</p>\n";
}

std::string withBanner(std::string page, const std::string& banner) {
    // The frame's own <main>: the title before it is escaped, the bar fixed.
    constexpr std::string_view kMain = "<main>\n";
    if (const auto at = page.find(kMain); !banner.empty() && at != std::string::npos)
        page.insert(at + kMain.size(), banner);
    return page;
}

std::string hiddenInput(const std::string& name, const std::string& v) {
    return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + escapeHtml(v) + "\">";
}

std::string commentDetails(const CommentRow& c) {
    // Each part kept whole on a narrow screen: never "未" on one line and
    // "读" on the next.
    const std::string id = std::to_string(c.id);
    return "<p class=\"muted\" id=\"c" + id + "\"><span class=\"keep\">#" + id +
           "</span> · <time class=\"keep\" datetime=\"" + isoUtc(c.received) + "\">" +
           localTimeText(c.received) + "</time> · <span class=\"keep\">" + escapeHtml(c.source) +
           "</span>" +
           (c.flagged ? ""
            : c.read  ? " · <span class=\"keep\">已读</span>"
                      : " · <strong class=\"keep\">未读</strong>") +
           "</p>";
}

std::int64_t commentPages(std::int64_t total) {
    return std::max<std::int64_t>(1, (total + kCommentsPerPage - 1) / kCommentsPerPage);
}

std::string percentEncode(std::string_view s) {
    return pelvoran::percentEncode(s, [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
    });
}

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

std::string commentsPage(const CommentsView& view) {
    const std::string& search = view.search;
    const std::int64_t pageNo = view.pageNo;
    const std::int64_t pages = commentPages(view.list.total);
    const std::string here = commentsAddress(pageNo, search);

    std::string main = "<h1>留言</h1>\n";
    if (!view.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(view.notice) + "</p>\n";
    main += "<p>未读 <strong>" + std::to_string(view.unread) + "</strong> 条。</p>\n";
    if (view.unread > 0)
        main += "<form method=\"post\" action=\"/comments/read-all\">" + hidden("csrf", view.csrf) +
                "<button type=\"submit\" class=\"quiet\">全部标为已读</button></form>\n";
    main += "<form method=\"get\" action=\"/comments\" role=\"search\">"
            "<label for=\"q\">搜索留言</label><div class=\"row\"><input id=\"q\" name=\"q\" "
            "value=\"" +
            escapeHtml(search) +
            "\"><button type=\"submit\">搜索</button></div></form>\n"
            "<p><a class=\"button quiet\" href=\"/comments.csv\">导出 CSV</a>"
            "<a class=\"button quiet\" href=\"/comments.jsonl\">导出 JSON Lines</a></p>\n";
    main += "<h2>" + std::string(search.empty() ? "全部留言" : "搜索结果") + "（" +
            std::to_string(view.list.total) + " 条，第 " + std::to_string(pageNo) + "/" +
            std::to_string(pages) + " 页）</h2>\n";
    if (view.list.comments.empty())
        main += "<p>没有留言。</p>\n";
    else
        main += commentList(view.list, view.csrf, here);
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
    if (view.flagged.total > 0) {
        main += "<h2>疑似机器人填写的留言（" + std::to_string(view.flagged.total) +
                " 条）</h2>\n<p "
                "class=\"muted\">网页表单中本应留空的一栏被填写了。辅助工具也可能填写它，"
                "所以这些留言照样保存在这里。</p>\n<p><a class=\"button quiet\" "
                "href=\"/comments/delete?flagged=1\">删除全部疑似机器人留言</a></p>\n" +
                commentList(view.flagged, view.csrf, here);
    }
    return frame("留言", main, "/comments");
}

std::string releaseAddress(Platform platform, const std::string& query) {
    if (platform == Platform::Windows)
        return query.empty() ? "/release" : "/release?" + query;
    return "/release?platform=" + std::string(platformName(platform)) +
           (query.empty() ? "" : "&" + query);
}

namespace {

/// Links to each platform's release page, the one shown marked.
std::string platformSwitch(Platform shown) {
    std::string out = "<nav aria-label=\"平台\"><p>";
    for (const Platform p : {Platform::Windows, Platform::Linux})
        out += "<a class=\"button quiet\" href=\"" + releaseAddress(p) + "\"" +
               (p == shown ? " aria-current=\"page\"" : "") + ">" + std::string(platformLabel(p)) +
               " 工具</a>";
    return out + "</p></nav>\n";
}

/// How far the live release reaches, and the form that changes it.
std::string rolloutSection(const ReleaseView& view, const std::string& platformField) {
    const std::string version = escapeHtml(toUtf8(view.shown->version));
    std::string out = "<h2>分阶段发布</h2>\n<p>";
    if (view.rollout >= 100)
        out += "所有网络的工具都收到 " + version + "。";
    else
        out += std::string(view.rollout == 0 ? "已暂停：" : "") + std::to_string(view.rollout) +
               "% 的网络收到 " + version + "，其余的" +
               (view.earlier ? "收到之前全部发布过的 " + escapeHtml(toUtf8(view.earlier->version))
                             : std::string("不提示更新")) +
               "。";
    out += "同一网络（IPv4 的 /24、IPv6 的 /48）每次得到同样的答复；调高比例只会增加网络。</p>\n";
    const std::string described = view.percentError.empty()
                                      ? ""
                                      : " aria-invalid=\"true\" aria-describedby=\"percent-error\"";
    out += "<form method=\"post\" action=\"/release\">" + hidden("csrf", view.csrf) +
           platformField + hidden("action", "rollout") +
           "<label for=\"percent\">收到这个版本的网络（百分比，0 到 100）</label>\n"
           "<input id=\"percent\" name=\"percent\" inputmode=\"numeric\" value=\"" +
           std::to_string(view.rollout) + "\"" + described + ">\n";
    if (!view.percentError.empty())
        out +=
            "<p class=\"error\" id=\"percent-error\">" + escapeHtml(view.percentError) + "</p>\n";
    out += "<button type=\"submit\">调整比例</button></form>\n";
    if (view.rollout > 0)
        out += "<form method=\"post\" action=\"/release\">" + hidden("csrf", view.csrf) +
               platformField + hidden("action", "halt") +
               "<button type=\"submit\" class=\"quiet\">暂停发布（0%）</button></form>\n";
    return out;
}

} // namespace

std::string releasePage(const ReleaseView& view) {
    const std::string& csrf = view.csrf;
    const std::string tools = std::string(platformLabel(view.platform)) + " 工具";
    const std::string platformField = hidden("platform", std::string(platformName(view.platform)));
    std::string main = "<h1>发布版本 · " + tools + "</h1>\n" + platformSwitch(view.platform);
    if (!view.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(view.notice) + "</p>\n";
    main += "<h2>现在发布的版本</h2>\n";
    if (const auto& shown = view.shown) {
        main += "<dl><dt>版本</dt><dd>" + escapeHtml(toUtf8(shown->version)) +
                "</dd><dt>下载地址</dt><dd>" + escapeHtml(toUtf8(shown->address)) +
                "</dd><dt>发布日期</dt><dd>" + escapeHtml(toUtf8(shown->date)) +
                "</dd><dt>更新说明</dt><dd class=\"text\">" + escapeHtml(toUtf8(shown->notes)) +
                "</dd><dt>签名</dt><dd>" + (shown->signature.empty() ? "未签名" : "已签名") +
                "</dd></dl>\n<form method=\"post\" action=\"/release\">" + hidden("csrf", csrf) +
                platformField + hidden("action", "clear") +
                "<button type=\"submit\" class=\"quiet\">撤下这个版本</button></form>\n";
        main += rolloutSection(view, platformField);
    } else {
        main += "<p>尚未给 " + tools + "发布新版本：这些工具不会提示更新。</p>\n";
    }
    if (view.previewing || view.shown) {
        main += "<h2>" + std::string(view.previewing ? "预览：工具将显示" : "工具显示的提示") +
                "</h2>\n" + offerPreview(view.previewing ? view.draft : *view.shown);
    }
    const auto error = [&](ReleaseField f) {
        const auto it = view.errors.find(f);
        return it == view.errors.end() ? std::string() : it->second;
    };
    const Release& form = view.draft;
    main += "<h2>发布新版本</h2>\n"
            // The token in the address too: the server checks it before it
            // reads the body, which may be a large file.
            "<form method=\"post\" action=\"/release?csrf=" +
            escapeHtml(percentEncode(csrf)) + "\" enctype=\"multipart/form-data\">" +
            hidden("csrf", csrf) + platformField +
            field("version", "版本（例如 1.06）", toUtf8(form.version),
                  error(ReleaseField::Version), false) +
            field("address", "下载地址（选了下面的文件时由服务器生成）", toUtf8(form.address),
                  error(ReleaseField::Address), false) +
            fileField(view) +
            field("date", "发布日期", toUtf8(form.date), error(ReleaseField::Date), false) +
            field("notes", "更新说明", toUtf8(form.notes), error(ReleaseField::Notes), true) +
            field("signature", signatureLabel(view), form.signature, error(ReleaseField::Signature),
                  false) +
            field("rollout", "先给多少网络（百分比，0 到 100；100：全部）", view.draftRollout,
                  view.rolloutError, false) +
            "<button type=\"submit\" name=\"action\" value=\"preview\" "
            "class=\"quiet\">预览</button>"
            "<button type=\"submit\" name=\"action\" value=\"publish\">发布</button></form>\n";
    main += releaseHistorySection(view.history, view.shown, csrf);
    return frame("发布版本", main, "/release");
}

std::string signInPage(const std::string& why, const std::string& command) {
    return frame("无法进入", "<h1>无法进入</h1>\n<p>" + escapeHtml(why) +
                                 "</p>\n<p>请在服务器上运行下面的命令，用它打印的地址打开这些页面"
                                 "（每个地址只能登录一次）：</p>\n<p><code>" +
                                 escapeHtml(command) + "</code></p>\n");
}

std::string signedOutPage(const std::string& command) {
    return frame(
        "已退出",
        "<h1>已退出</h1>\n<p>这个浏览器上的登录已经结束。要再次进入，请在服务器上运行：</p>\n"
        "<p><code>" +
            escapeHtml(command) + "</code></p>\n");
}

std::string deniedPage(const std::string& why) {
    return frame("拒绝", "<h1>拒绝</h1>\n<p>" + escapeHtml(why) + "</p>\n");
}

std::string databaseErrorPage(const std::string& what) {
    return frame("出错了",
                 "<h1>出错了</h1>\n<p>数据库暂时无法使用：" + escapeHtml(what) + "</p>\n");
}

std::string badMarkPage() {
    return problemPage("表单中的留言编号（id）或已读标记（read）不对。"
                       "请回到<a href=\"/comments\">留言</a>页面刷新后重试。");
}

std::string noSuchCommentPage(std::int64_t id) {
    return problemPage("没有第 " + std::to_string(id) +
                       " 条留言。请回到<a href=\"/comments\">留言</a>页面刷新后重试。");
}

std::string notFoundPage() {
    return frame("没有这个页面",
                 "<h1>没有这个页面</h1>\n<p><a href=\"/comments\">回到留言</a></p>\n", "/");
}

} // namespace pelvoran::server
