#include "server/pages/public_site.h"

#include "decode/lens_query.h"
#include "forms/form_rules.h"
#include "forms/form_texts.h"
#include "net/comment_post.h"
#include "platform/regional.h"
#include "server/comments/comment_decoding.h"
#include "server/http/web.h"
#include "server/pages/html.h"

#include <cstddef>

namespace pelvoran::server {

// The help photo, converted from the program's bitmap when building.
extern const unsigned char kHelpPhotoPng[];
extern const std::size_t kHelpPhotoPngSize;

namespace {

constexpr char kWebCommentField[] = "text";
/// Left empty by people: the form hides it from view.
constexpr char kTrapField[] = "website";

/// Text with each line break (CR, LF or CR LF) as <br>.
std::string withBreaks(TextView text) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != u'\r' && text[i] != u'\n')
            continue;
        out += escapeHtml(toUtf8(text.substr(start, i - start)));
        if (i == text.size())
            break;
        out += "<br>";
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    return out;
}

std::string queryValue(const WebRequest& r, const std::string& name) {
    const auto it = r.query.find(name);
    return it == r.query.end() ? std::string() : it->second;
}

} // namespace

std::string codeAsTyped(const std::string& text) {
    const Text line(form_rule::firstLine(fromUtf8Lenient(text)));
    Text kept = line.substr(0, 10);
    if (!kept.empty() && kept.back() >= 0xD800 && kept.back() <= 0xDBFF)
        kept.pop_back(); // never half a character
    return toUtf8(kept);
}

WebResponse lookupPage(const WebRequest& request, const std::string& notice,
                       const std::string& comment, const std::vector<PageDownload>& downloads) {
    const bool asked = request.query.contains("code");
    const std::string code = codeAsTyped(queryValue(request, "code"));
    Text answer = form_text::kStartNotice;
    if (asked) {
        LensQuery query(RegionalSettings::zhCN());
        answer = query.Command1_Click(fromUtf8Lenient(code));
    }
    const std::string root = escapeHtml(request.root);
    std::string main = "<h1>佳能镜头生产日期查询</h1>\n<form method=\"get\" action=\"" + root +
                       "\">\n<label for=\"code\">";
    main += toUtf8(form_text::kCodeLabel);
    main += "</label>\n<div class=\"row\"><input id=\"code\" name=\"code\" maxlength=\"10\" "
            "autocomplete=\"off\" autocapitalize=\"characters\" spellcheck=\"false\" value=\"";
    main += escapeHtml(code);
    main += "\"><button type=\"submit\">";
    main += toUtf8(form_text::kQueryButton);
    main += "</button></div>\n</form>\n<section aria-labelledby=\"answer-title\">\n"
            "<h2 id=\"answer-title\">";
    main += asked ? "查询结果" : "说明";
    main += "</h2>\n<p class=\"answer\" id=\"answer\" role=\"status\">";
    main += withBreaks(answer);
    main += "</p>\n</section>\n<section aria-labelledby=\"help-title\">\n<h2 id=\"help-title\">";
    main += toUtf8(form_text::kHelpButton);
    main += "</h2>\n<p>";
    main += withBreaks(form_text::helpText());
    main += "</p>\n<img src=\"" + root + "help.png\" width=\"401\" height=\"220\" alt=\"";
    main += escapeHtml(toUtf8(form_text::kPictureDescription));
    main += "\">\n</section>\n";
    for (const PageDownload& download : downloads) {
        const ReleaseFile& f = download.file;
        main += "<p><a href=\"" + root +
                escapeHtml(downloadPath(f.platform, download.version, f.name)) +
                "\">下载 Pelvoran " + escapeHtml(download.version) + "（" +
                std::string(platformLabel(f.platform)) + "，" + sizeText(f.size) +
                "）</a><br><span class=\"muted\">SHA-256：<code class=\"hash\">" +
                escapeHtml(f.sha256) + "</code></span></p>\n";
    }
    main += "<section aria-labelledby=\"comment-title\">\n<h2 id=\"comment-title\">";
    main += toUtf8(form_text::kCommentButton);
    main += "</h2>\n";
    main += notice;
    main += "<form method=\"post\" action=\"" + root + "comment\">\n<label for=\"text\">";
    main += toUtf8(form_text::kCommentCaption);
    main += "</label>\n<textarea id=\"text\" name=\"text\" rows=\"5\">";
    main += escapeHtml(comment);
    main += "</textarea>\n<div class=\"trap\"><label for=\"website\">请勿填写此项</label>"
            "<input id=\"website\" name=\"website\" tabindex=\"-1\" autocomplete=\"off\"></div>\n"
            "<button type=\"submit\">";
    main += toUtf8(form_text::kSendButton);
    main += "</button>\n</form>\n</section>\n";
    WebResponse r;
    r.body = htmlPage("佳能镜头生产日期查询", main, "", request.root);
    addPageHeaders(r);
    return r;
}

WebResponse helpPhoto() {
    WebResponse r;
    r.type = "image/png";
    r.body.assign(reinterpret_cast<const char*>(kHelpPhotoPng), kHelpPhotoPngSize);
    r.headers.emplace_back("Cache-Control", "max-age=86400");
    return r;
}

WebResponse publicErrorPage(unsigned status, const char* allow, const std::string& root) {
    struct Words {
        const char* title;
        std::string what;
        const char* todo;
    };
    const Words text = [status]() -> Words {
        switch (status) {
        case 400: return {"请求有误", "请求有误。", "请检查地址后重试。"};
        case 404: return {"没有这个页面", "没有这个页面。", "请检查地址是否输入正确。"};
        case 405:
        case 501:
            return {"不支持这个请求方法", "不支持这个请求方法。",
                    "这个地址只能用浏览器直接打开（GET 或 HEAD）。"};
        case 413:
            return {"请求太大", "请求太大，最多 " + maxBodyText() + "。", "请缩短内容后重试。"};
        case 431: return {"请求头太大", "请求头太大。", "请缩短地址后重试。"};
        case 503: return {"服务器繁忙", "服务器暂时无法处理这个请求。", "请稍后重试。"};
        default: return {"出错了", "出错了。", "请稍后重试。"};
        }
    }();
    WebResponse r;
    r.status = status;
    r.body = htmlPage(std::string(text.title) + " · 佳能镜头生产日期查询",
                      std::string("<h1>") + text.title + "</h1>\n<p>" + text.what + text.todo +
                          "</p>\n<p><a href=\"" + escapeHtml(root) +
                          "\">回到佳能镜头生产日期查询</a></p>\n",
                      "", root);
    addPageHeaders(r);
    if (status == 405)
        r.headers.emplace_back("Allow", allow);
    return r;
}

WebResponse webCommentFailed(const WebRequest& request, unsigned status, const std::string& why) {
    const auto fields = parseForm(request.body);
    const auto it = fields.find(kWebCommentField);
    WebRequest start = request;
    start.query.clear();
    WebResponse r =
        lookupPage(start, "<p class=\"error\" role=\"alert\">" + escapeHtml(why) + "</p>\n",
                   it == fields.end() ? "" : it->second);
    r.status = status;
    return r;
}

WebComment webComment(const WebRequest& request, std::chrono::sys_seconds now) {
    const auto fields = parseForm(request.body);
    const auto it = fields.find(kWebCommentField);
    const Text text = it == fields.end() ? Text() : fromUtf8Lenient(it->second);
    if (isBlankComment(text))
        return {std::nullopt, webCommentFailed(request, 400, toUtf8(comment_text::kEmptyMessage))};
    const auto trap = fields.find(kTrapField);
    NewComment c;
    c.text = oneLfPerLineBreak(text); // as the desktop endpoint stores them
    c.raw = request.body;
    c.source = kFromWeb;
    c.received = now;
    c.flagged = trap != fields.end() && !trap->second.empty();
    // Post/Redirect/Get: the browser ends on a page of its own, so that a
    // reload asks for that page again rather than posting the comment again.
    WebResponse stored;
    stored.status = 303;
    stored.headers.emplace_back("Location", request.root + "thanks");
    stored.headers.emplace_back("Cache-Control", "no-store");
    return {c, stored};
}

WebResponse thanksPage(const WebRequest& request) {
    WebRequest start = request;
    start.query.clear();
    return lookupPage(start, "<p class=\"ok\" role=\"status\">留言已收到，谢谢！</p>\n");
}

} // namespace pelvoran::server
