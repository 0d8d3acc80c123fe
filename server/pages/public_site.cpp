#include "server/pages/public_site.h"

#include "decode/lens_query.h"
#include "forms/form_rules.h"
#include "forms/form_texts.h"
#include "platform/regional.h"
#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"

#include <cstddef>

namespace pelvoran::server {

// The help photo, converted from the program's bitmap when building.
extern const unsigned char kHelpPhotoPng[];
extern const std::size_t kHelpPhotoPngSize;

namespace {

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

/// The first `most` UTF-16 units of `text` in UTF-8, never half a character:
/// what is typed, given back to a field of that length.
std::string keptForField(TextView text, std::size_t most) {
    Text kept(text.substr(0, most));
    if (!kept.empty() && kept.back() >= 0xD800 && kept.back() <= 0xDBFF)
        kept.pop_back();
    return toUtf8(kept);
}

} // namespace

std::string codeAsTyped(const std::string& text) {
    return keptForField(form_rule::firstLine(fromUtf8Lenient(text)), 10);
}

WebResponse lookupPage(const LookupView& view) {
    const bool asked = view.code.has_value();
    const std::string code = codeAsTyped(view.code.value_or(""));
    Text answer = form_text::kStartNotice;
    if (asked) {
        LensQuery query(RegionalSettings::zhCN());
        answer = query.Command1_Click(fromUtf8Lenient(code));
    }
    const std::string root = escapeHtml(view.root);
    std::string main = std::string("<h1>") + page_text::kLookupTitle +
                       "</h1>\n<form method=\"get\" action=\"" + root + "\">\n<label for=\"code\">";
    main += toUtf8(form_text::kCodeLabel);
    main += "</label>\n<div class=\"row\"><input id=\"code\" name=\"code\" maxlength=\"10\" "
            "autocomplete=\"off\" autocapitalize=\"characters\" spellcheck=\"false\" value=\"";
    main += escapeHtml(code);
    main += "\"><button type=\"submit\">";
    main += toUtf8(form_text::kQueryButton);
    main += "</button></div>\n</form>\n<section aria-labelledby=\"answer-title\">\n"
            "<h2 id=\"answer-title\">";
    main += asked ? page_text::kAnswerTitle : page_text::kStartTitle;
    main += "</h2>\n<p class=\"answer\" id=\"answer\" role=\"status\">";
    main += withBreaks(answer);
    main += "</p>\n</section>\n<section aria-labelledby=\"help-title\">\n<h2 id=\"help-title\">";
    main += toUtf8(form_text::kHelpButton);
    main += "</h2>\n<p>";
    main += withBreaks(form_text::helpText());
    main += "</p>\n<img src=\"" + root + "help.png\" width=\"401\" height=\"220\" alt=\"";
    main += escapeHtml(toUtf8(form_text::kPictureDescription));
    main += "\">\n</section>\n";
    for (const PageDownload& download : view.downloads) {
        const ReleaseFile& f = download.file;
        main += "<p><a href=\"" + root +
                escapeHtml(downloadPath(f.platform, download.version, f.name)) + "\">" +
                page_text::kDownload + escapeHtml(download.version) + "（" +
                std::string(platformLabel(f.platform)) + "，" + sizeText(f.size) +
                "）</a><br><span class=\"muted\">" + page_text::kHashLabel +
                "<code class=\"hash\">" + escapeHtml(f.sha256) + "</code></span></p>\n";
    }
    main += "<section aria-labelledby=\"comment-title\">\n<h2 id=\"comment-title\">";
    main += toUtf8(form_text::kCommentButton);
    main += "</h2>\n";
    main += view.notice;
    // The answer to the form scrolls to its part of the page: the thanks
    // and the reply code, or why the comment was not kept.
    main +=
        "<form method=\"post\" action=\"" + root + "comment#comment-title\">\n<label for=\"text\">";
    main += toUtf8(form_text::kCommentCaption);
    main += "</label>\n<textarea id=\"text\" name=\"text\" rows=\"5\">";
    main += escapeHtml(view.comment);
    main += std::string("</textarea>\n<div class=\"trap\"><label for=\"website\">") +
            page_text::kTrapLabel +
            "</label><input id=\"website\" name=\"website\" tabindex=\"-1\" "
            "autocomplete=\"off\"></div>\n"
            "<button type=\"submit\">";
    main += toUtf8(form_text::kSendButton);
    main += "</button>\n</form>\n</section>\n";
    // The code goes in a POST body, never in an address.
    main += std::string("<section aria-labelledby=\"reply-title\">\n<h2 id=\"reply-title\">") +
            page_text::kReplyTitle + "</h2>\n" + view.replyNotice +
            "<form method=\"post\" action=\"" + root +
            "reply#reply-title\">\n<label for=\"reply-code\">" + page_text::kReplyCodeLabel +
            "</label>\n<div class=\"row\"><input id=\"reply-code\" name=\"" + kReplyCodeField +
            "\" maxlength=\"40\" autocomplete=\"off\" autocapitalize=\"characters\" "
            "spellcheck=\"false\" value=\"" +
            escapeHtml(view.replyCode) + "\"><button type=\"submit\">" + page_text::kReplyButton +
            "</button></div>\n</form>\n</section>\n";
    WebResponse r;
    r.body = htmlPage(page_text::kLookupTitle, main, "", view.root);
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
    const page_text::ErrorWords words = [status] {
        switch (status) {
        case 400: return page_text::kBadRequest;
        case 404: return page_text::kNotFound;
        case 405:
        case 501: return page_text::kBadMethod;
        case 413: return page_text::kTooLarge;
        case 431: return page_text::kHeadersTooLarge;
        case 503: return page_text::kBusy;
        default: return page_text::kOtherError;
        }
    }();
    const std::string what =
        status == 413 ? words.what + maxBodyText() + page_text::kTooLargeAfter : words.what;
    WebResponse r;
    r.status = status;
    r.body = htmlPage(std::string(words.title) + " · " + page_text::kLookupTitle,
                      std::string("<h1>") + words.title + "</h1>\n<p>" + what + words.todo +
                          "</p>\n<p><a href=\"" + escapeHtml(root) + "\">" +
                          page_text::kBackToLookup + "</a></p>\n",
                      "", root);
    addPageHeaders(r);
    if (status == 405)
        r.headers.emplace_back("Allow", allow);
    return r;
}

WebResponse commentFailedPage(const std::string& root, unsigned status, const std::string& why,
                              const std::string& comment) {
    WebResponse r =
        lookupPage({root, std::nullopt,
                    "<p class=\"error\" role=\"alert\">" + escapeHtml(why) + "</p>\n", comment});
    r.status = status;
    return r;
}

WebResponse receiptPage(const std::string& root, const std::string& code) {
    WebResponse r =
        lookupPage({root, std::nullopt,
                    std::string("<p class=\"ok\" role=\"status\">") + page_text::kCommentThanks +
                        "</p>\n<div class=\"receipt\"><p>" + page_text::kReplyCodeIs +
                        "<code class=\"reply-code\" id=\"reply-code-shown\">" + escapeHtml(code) +
                        "</code></p>\n<p>" + page_text::kReplyCodeUse + "</p></div>\n"});
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse replyPage(const std::string& root, const std::optional<ConversationView>& found) {
    std::string main = std::string("<h1>") + page_text::kReplyTitle + "</h1>\n";
    if (found) {
        main += std::string("<h2>") + page_text::kYourComment + "</h2>\n<p class=\"text\">" +
                escapeHtml(found->comment) + "</p>\n<h2>" + page_text::kPublishersAnswer +
                "</h2>\n<p class=\"answer\" id=\"reply-answer\">" + escapeHtml(found->answer) +
                "</p>\n";
    } else {
        main += std::string("<p id=\"reply-answer\" role=\"status\">") + page_text::kNoAnswer +
                "</p>\n";
    }
    main += "<p><a href=\"" + escapeHtml(root) + "\">" + page_text::kBackToLookup + "</a></p>\n";
    WebResponse r;
    r.body = htmlPage(std::string(page_text::kReplyTitle) + " · " + page_text::kLookupTitle, main,
                      "", root);
    addPageHeaders(r);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse replyRefusedPage(const std::string& root, unsigned status, const std::string& why,
                             const std::string& typed) {
    LookupView view{root};
    view.replyNotice = "<p class=\"error\" role=\"alert\">" + escapeHtml(why) + "</p>\n";
    view.replyCode = keptForField(fromUtf8Lenient(typed), 40); // the field's maxlength
    WebResponse r = lookupPage(view);
    r.status = status;
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse thanksPage(const std::string& root) {
    return lookupPage(
        {root, std::nullopt,
         std::string("<p class=\"ok\" role=\"status\">") + page_text::kCommentThanks + "</p>\n"});
}

} // namespace pelvoran::server
