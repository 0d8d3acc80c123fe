#include "server/pages/admin_pages.h"

#include "platform/hex.h"

#include "forms/form_texts.h"
#include "net/update_check.h"
#include "platform/regional.h"
#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/support/line_breaks.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace pelvoran::server {
namespace {

std::string nav(const std::string& current) {
    std::string out = std::string("<nav aria-label=\"") + page_text::kNavLabel + "\">";
    for (const auto& [path, name] :
         {std::pair{"/comments", page_text::kCommentsNav},
          std::pair{"/release", page_text::kReleaseNav}, std::pair{"/use", page_text::kUseNav},
          std::pair{"/notify", page_text::kNotifyNav}, std::pair{"/audit", page_text::kAuditNav}}) {
        out += "<a href=\"";
        out += path;
        out += current == path ? "\" aria-current=\"page\">" : "\">";
        out += name;
        out += "</a>";
    }
    return out + "<form method=\"post\" action=\"/logout\"><button>" + page_text::kSignOut +
           "</button></form></nav>";
}

std::string frame(const std::string& title, const std::string& main,
                  const std::string& current = "") {
    return adminFrame(title, main, current);
}

std::string hidden(const std::string& name, const std::string& v) {
    return hiddenInput(name, v);
}

/// A held comment's two buttons, each done in one click: let it through,
/// or delete it.
std::string heldActions(const CommentRow& c, const std::string& csrf) {
    const std::string id = std::to_string(c.id);
    return "<form method=\"post\" action=\"/comments/approve\">" + hidden("csrf", csrf) +
           hidden("id", id) + "<button type=\"submit\" aria-describedby=\"c" + id + "\">" +
           page_text::kApprove +
           "</button></form><form method=\"post\" "
           "action=\"/comments/delete\">" +
           hidden("csrf", csrf) + hidden("id", id) +
           "<button type=\"submit\" class=\"quiet\" aria-describedby=\"c" + id + "\">" +
           page_text::kDelete + "</button></form>";
}

std::string commentItem(const CommentRow& c, const std::string& csrf, const std::string& back) {
    std::string out = c.read || c.flagged || !c.held.empty() ? "<li>" : "<li class=\"unread\">";
    out += "<article aria-labelledby=\"c" + std::to_string(c.id) + "\">" + commentDetails(c) +
           "\n<p class=\"text\">" + escapeHtml(toUtf8(c.text)) + "</p>\n<div class=\"actions\">";
    if (!c.held.empty())
        return out + heldActions(c, csrf) + "</div></article></li>\n";
    if (!c.flagged) {
        out += "<form method=\"post\" action=\"/comments/mark\">" + hidden("csrf", csrf) +
               hidden("id", std::to_string(c.id)) + hidden("read", c.read ? "0" : "1") +
               hidden("back", back) + "<button type=\"submit\" class=\"quiet\">" +
               (c.read ? page_text::kMarkUnread : page_text::kMarkRead) + "</button></form>";
    }
    out += "<a class=\"button quiet\" href=\"/comments/delete?id=" + std::to_string(c.id) +
           "\" aria-describedby=\"c" + std::to_string(c.id) + "\">" + page_text::kDelete + "</a>";
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
        return std::string("<p>") + page_text::kNoOffer + "</p>\n";
    std::string out = std::string("<figure class=\"box\" aria-label=\"") +
                      page_text::kOfferBoxLabel + "\"><figcaption>" +
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
        return page_text::kSignatureSignsHere;
    if (view.keyed)
        return page_text::kSignatureSignedElsewhere;
    return page_text::kSignatureUnkeyed;
}

/// The file the server is to serve, and the download base when none is
/// stored yet.
std::string fileField(const ReleaseView& view) {
    std::string out = std::string("<label for=\"file\">") + page_text::kFileLabel + "</label>\n" +
                      "<input type=\"file\" id=\"file\" name=\"file\"" +
                      std::string(view.fileError.empty()
                                      ? ""
                                      : " aria-invalid=\"true\" aria-describedby=\"file-error\"") +
                      ">\n";
    if (!view.fileError.empty())
        out += "<p class=\"error\" id=\"file-error\">" + escapeHtml(view.fileError) + "</p>\n";
    if (view.downloadBase.empty())
        return out + field("base", page_text::kBaseLabel, view.draftBase, view.baseError, false);
    return out + "<p>" + page_text::kFileAddress + escapeHtml(view.downloadBase) +
           "/download/&lt;" + page_text::kPlatformPlaceholder + "&gt;/&lt;" +
           page_text::kVersionPlaceholder + "&gt;/&lt;" + page_text::kFileNamePlaceholder +
           "&gt;</p>\n";
}

std::string problemPage(const std::string& text) {
    return frame(page_text::kErrorTitle,
                 std::string("<h1>") + page_text::kErrorTitle + "</h1>\n<p>" + text + "</p>\n",
                 "/comments");
}

} // namespace

std::string adminFrame(const std::string& title, const std::string& main,
                       const std::string& current) {
    return htmlPage(title + page_text::kAdminTitleTail, main, current.empty() ? "" : nav(current));
}

std::string failingBanner(const std::vector<RecipientRow>& recipients,
                          std::chrono::sys_seconds now) {
    std::string failing;
    for (const RecipientRow& r : recipients)
        if (r.failures > 0 && r.failingSince <= now - kFailingBannerAfter)
            failing += (failing.empty() ? "" : page_text::kFailingSeparator) +
                       page_text::failingSince(r.id, localTimeText(r.failingSince));
    if (failing.empty())
        return "";
    return std::string("<p class=\"error\" role=\"alert\">") + page_text::kFailingBefore + failing +
           page_text::kFailingAfter + "<a href=\"/notify\">" + page_text::kNotifyNav + "</a>" +
           page_text::kFailingLinkAfter + "</p>\n";
}

std::string heldBanner(std::int64_t count) {
    if (count <= 0)
        return "";
    return std::string("<p>") + page_text::kHeldBannerBefore + "<a href=\"/comments#held\">" +
           page_text::heldBannerLink(count) + "</a>" + page_text::kHeldBannerAfter + "</p>\n";
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
           (!c.held.empty() ? " · <strong class=\"keep\">" + escapeHtml(c.held) + "</strong>"
            : c.flagged     ? ""
            : c.read
                ? std::string(" · <span class=\"keep\">") + page_text::kRead + "</span>"
                : std::string(" · <strong class=\"keep\">") + page_text::kUnread + "</strong>") +
           (c.delivered
                ? std::string(" · <span class=\"keep\">") + page_text::kDelivered + "</span>"
            : c.answered
                ? std::string(" · <span class=\"keep\">") + page_text::kAnswered + "</span>"
                : std::string()) +
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

    std::string main = std::string("<h1>") + page_text::kCommentsNav + "</h1>\n";
    if (!view.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(view.notice) + "</p>\n";
    main += std::string("<p>") + page_text::kUnreadBefore + "<strong>" +
            std::to_string(view.unread) + "</strong>" + page_text::kUnreadAfter + "</p>\n";
    if (view.unread > 0)
        main += "<form method=\"post\" action=\"/comments/read-all\">" + hidden("csrf", view.csrf) +
                "<button type=\"submit\" class=\"quiet\">" + page_text::kMarkAllRead +
                "</button></form>\n";
    main += std::string("<form method=\"get\" action=\"/comments\" role=\"search\">"
                        "<label for=\"q\">") +
            page_text::kSearchLabel +
            "</label><div class=\"row\"><input id=\"q\" name=\"q\" value=\"" + escapeHtml(search) +
            "\"><button type=\"submit\">" + page_text::kSearch +
            "</button></div></form>\n<p><a class=\"button quiet\" href=\"/comments.csv\">" +
            page_text::kExportCsv + "</a><a class=\"button quiet\" href=\"/comments.jsonl\">" +
            page_text::kExportJsonLines + "</a></p>\n";
    main += "<h2>" +
            std::string(search.empty() ? page_text::kAllComments : page_text::kSearchResults) +
            page_text::listCount(view.list.total, pageNo, pages) + "</h2>\n";
    if (view.list.comments.empty())
        main += std::string("<p>") + page_text::kNoComments + "</p>\n";
    else
        main += commentList(view.list, view.csrf, here);
    if (pages > 1) {
        main += std::string("<nav aria-label=\"") + page_text::kPagesLabel + "\"><p>";
        if (pageNo > 1)
            main += "<a class=\"button quiet\" href=\"" +
                    escapeHtml(commentsAddress(pageNo - 1, search)) + "\">" +
                    page_text::kPreviousPage + "</a>";
        if (pageNo < pages)
            main += "<a class=\"button quiet\" href=\"" +
                    escapeHtml(commentsAddress(pageNo + 1, search)) + "\">" + page_text::kNextPage +
                    "</a>";
        main += "</p></nav>\n";
    }
    if (view.held.total > 0) {
        main += "<h2 id=\"held\">" + page_text::heldHeading(view.held.total) +
                "</h2>\n<p class=\"muted\">" + page_text::kHeldWhy + "</p>\n" +
                commentList(view.held, view.csrf, here);
    }
    if (view.flagged.total > 0) {
        main += "<h2>" + page_text::flaggedHeading(view.flagged.total) +
                "</h2>\n<p class=\"muted\">" + page_text::kFlaggedWhy +
                "</p>\n<p><a class=\"button quiet\" href=\"/comments/delete?flagged=1\">" +
                page_text::kDeleteAllFlagged + "</a></p>\n" +
                commentList(view.flagged, view.csrf, here);
    }
    return frame(page_text::kCommentsNav, main, "/comments");
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
    std::string out = std::string("<nav aria-label=\"") + page_text::kPlatformsLabel + "\"><p>";
    for (const Platform p : {Platform::Windows, Platform::Linux})
        out += "<a class=\"button quiet\" href=\"" + releaseAddress(p) + "\"" +
               (p == shown ? " aria-current=\"page\"" : "") + ">" + std::string(platformLabel(p)) +
               page_text::kTools + "</a>";
    return out + "</p></nav>\n";
}

/// How far the live release reaches, and the form that changes it.
std::string rolloutSection(const ReleaseView& view, const std::string& platformField) {
    const std::string version = escapeHtml(toUtf8(view.shown->version));
    std::string out = std::string("<h2>") + page_text::kRolloutTitle + "</h2>\n<p>";
    if (view.rollout >= 100)
        out += page_text::rolloutToAll(version);
    else
        out +=
            std::string(view.rollout == 0 ? page_text::kHalted : "") +
            page_text::rolloutShare(view.rollout, version) +
            (view.earlier ? page_text::kRestGetEarlier + escapeHtml(toUtf8(view.earlier->version))
                          : std::string(page_text::kRestGetNothing)) +
            page_text::kSentenceEnd;
    out += page_text::kSameNetworkSameAnswer + std::string("</p>\n");
    const std::string described = view.percentError.empty()
                                      ? ""
                                      : " aria-invalid=\"true\" aria-describedby=\"percent-error\"";
    out += "<form method=\"post\" action=\"/release\">" + hidden("csrf", view.csrf) +
           platformField + hidden("action", "rollout") + "<label for=\"percent\">" +
           page_text::kPercentLabel + "</label>\n" +
           "<input id=\"percent\" name=\"percent\" inputmode=\"numeric\" value=\"" +
           std::to_string(view.rollout) + "\"" + described + ">\n";
    if (!view.percentError.empty())
        out +=
            "<p class=\"error\" id=\"percent-error\">" + escapeHtml(view.percentError) + "</p>\n";
    out += std::string("<button type=\"submit\">") + page_text::kSetRollout + "</button></form>\n";
    if (view.rollout > 0)
        out += "<form method=\"post\" action=\"/release\">" + hidden("csrf", view.csrf) +
               platformField + hidden("action", "halt") +
               "<button type=\"submit\" class=\"quiet\">" + page_text::kHalt + "</button></form>\n";
    return out;
}

} // namespace

std::string releasePage(const ReleaseView& view) {
    const std::string& csrf = view.csrf;
    const std::string tools = std::string(platformLabel(view.platform)) + page_text::kTools;
    const std::string platformField = hidden("platform", std::string(platformName(view.platform)));
    std::string main = std::string("<h1>") + page_text::kReleaseTitle + tools + "</h1>\n" +
                       platformSwitch(view.platform);
    if (!view.notice.empty())
        main += "<p class=\"ok\" role=\"status\">" + escapeHtml(view.notice) + "</p>\n";
    main += std::string("<h2>") + page_text::kLiveTitle + "</h2>\n";
    if (const auto& shown = view.shown) {
        main += std::string("<dl><dt>") + page_text::kVersion + "</dt><dd>" +
                escapeHtml(toUtf8(shown->version)) + "</dd><dt>" + page_text::kAddress +
                "</dt><dd>" + escapeHtml(toUtf8(shown->address)) + "</dd><dt>" + page_text::kDate +
                "</dt><dd>" + escapeHtml(toUtf8(shown->date)) + "</dd><dt>" + page_text::kNotes +
                "</dt><dd class=\"text\">" + escapeHtml(toUtf8(shown->notes)) + "</dd><dt>" +
                page_text::kSignature + "</dt><dd>" +
                (shown->signature.empty() ? page_text::kUnsigned : page_text::kSigned) +
                "</dd></dl>\n<form method=\"post\" action=\"/release\">" + hidden("csrf", csrf) +
                platformField + hidden("action", "clear") +
                "<button type=\"submit\" class=\"quiet\">" + page_text::kClear +
                "</button></form>\n";
        main += rolloutSection(view, platformField);
    } else {
        main += std::string("<p>") + page_text::kNothingLiveBefore + tools +
                page_text::kNothingLiveAfter + "</p>\n";
    }
    if (view.previewing || view.shown) {
        main += "<h2>" +
                std::string(view.previewing ? page_text::kPreviewTitle : page_text::kOfferTitle) +
                "</h2>\n" + offerPreview(view.previewing ? view.draft : *view.shown);
    }
    const auto error = [&](ReleaseField f) {
        const auto it = view.errors.find(f);
        return it == view.errors.end() ? std::string() : it->second;
    };
    const Release& form = view.draft;
    main +=
        std::string("<h2>") + page_text::kPublishTitle +
        "</h2>\n"
        // The token in the address too: the server checks it before it
        // reads the body, which may be a large file.
        "<form method=\"post\" action=\"/release?csrf=" +
        escapeHtml(percentEncode(csrf)) + "\" enctype=\"multipart/form-data\">" +
        hidden("csrf", csrf) + platformField +
        field("version", page_text::kVersionLabel, toUtf8(form.version),
              error(ReleaseField::Version), false) +
        field("address", page_text::kAddressLabel, toUtf8(form.address),
              error(ReleaseField::Address), false) +
        fileField(view) +
        field("date", page_text::kDate, toUtf8(form.date), error(ReleaseField::Date), false) +
        field("notes", page_text::kNotes, toUtf8(form.notes), error(ReleaseField::Notes), true) +
        field("signature", signatureLabel(view), form.signature, error(ReleaseField::Signature),
              false) +
        field("rollout", page_text::kRolloutLabel, view.draftRollout, view.rolloutError, false) +
        "<button type=\"submit\" name=\"action\" value=\"preview\" class=\"quiet\">" +
        page_text::kPreview +
        "</button><button type=\"submit\" name=\"action\" value=\"publish\">" +
        page_text::kPublish + "</button></form>\n";
    main += releaseHistorySection(view.history, view.shown, csrf);
    return frame(page_text::kReleaseNav, main, "/release");
}

std::string signInPage(const std::string& why, const std::string& command) {
    return frame(page_text::kCannotEnter, std::string("<h1>") + page_text::kCannotEnter +
                                              "</h1>\n<p>" + escapeHtml(why) + "</p>\n<p>" +
                                              page_text::kRunCommand + "</p>\n<p><code>" +
                                              escapeHtml(command) + "</code></p>\n");
}

std::string signedOutPage(const std::string& command) {
    return frame(page_text::kSignedOut, std::string("<h1>") + page_text::kSignedOut + "</h1>\n<p>" +
                                            page_text::kSignedOutSay + "</p>\n<p><code>" +
                                            escapeHtml(command) + "</code></p>\n");
}

std::string deniedPage(const std::string& why) {
    return frame(page_text::kDenied, std::string("<h1>") + page_text::kDenied + "</h1>\n<p>" +
                                         escapeHtml(why) + "</p>\n");
}

std::string databaseErrorPage(const std::string& what) {
    return frame(page_text::kErrorTitle, std::string("<h1>") + page_text::kErrorTitle +
                                             "</h1>\n<p>" + page_text::kDatabaseDown +
                                             escapeHtml(what) + "</p>\n");
}

std::string badMarkPage() {
    return problemPage(std::string(page_text::kBadMark) + page_text::kBackToPage +
                       "<a href=\"/comments\">" + page_text::kCommentsNav + "</a>" +
                       page_text::kReloadAndRetry);
}

std::string noSuchCommentPage(std::int64_t id) {
    return problemPage(page_text::noSuchComment(id) + page_text::kBackToPage +
                       "<a href=\"/comments\">" + page_text::kCommentsNav + "</a>" +
                       page_text::kReloadAndRetry);
}

std::string notFoundPage() {
    return frame(page_text::kNoSuchPage,
                 std::string("<h1>") + page_text::kNoSuchPage + "</h1>\n<p><a href=\"/comments\">" +
                     page_text::kBackToComments + "</a></p>\n",
                 "/");
}

} // namespace pelvoran::server
