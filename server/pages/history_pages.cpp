#include "server/pages/admin_pages.h"

#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/support/time_text.h"

#include <algorithm>

namespace pelvoran::server {
namespace {

/// When something happened; rows kept from before the history began have
/// no time.
std::string when(std::chrono::sys_seconds time) {
    if (time == std::chrono::sys_seconds{})
        return std::string("<span class=\"keep\">") + page_text::kNoTime + "</span>";
    return "<time class=\"keep\" datetime=\"" + isoUtc(time) + "\">" + localTimeText(time) +
           "</time>";
}

std::string sourceText(const std::string& source) {
    return source.empty() ? page_text::kNoSource : escapeHtml(source);
}

std::string historyRow(const ReleaseRow& c, bool live, const std::string& csrf) {
    const std::string id = "h" + std::to_string(c.id);
    const Release& r = c.release;
    std::string out = live ? "<li class=\"live\">" : "<li>";
    out += "<article aria-labelledby=\"" + id + "\"><p class=\"muted\" id=\"" + id +
           "\"><span class=\"keep\">#" + std::to_string(c.id) + "</span> · " + when(c.time) +
           " · <span class=\"keep\">" + sourceText(c.source) + "</span> · <strong class=\"keep\">" +
           (c.published ? page_text::kPublishes + escapeHtml(toUtf8(r.version))
                        : std::string(page_text::kClears)) +
           "</strong>" +
           (live ? std::string(" · <strong class=\"keep\">") + page_text::kLiveNow + "</strong>"
                 : "") +
           "</p>\n";
    if (!c.published)
        return out + "</article></li>\n";
    out += std::string("<dl><dt>") + page_text::kAddress + "</dt><dd>" +
           escapeHtml(toUtf8(r.address)) + "</dd>";
    if (c.file)
        out += std::string("<dt>") + page_text::kServedFile + "</dt><dd>" +
               escapeHtml(c.file->name) + page_text::kListComma + sizeText(c.file->size) + "<br>" +
               page_text::kHashLabel + "<code class=\"hash\">" + escapeHtml(c.file->sha256) +
               "</code></dd>";
    out += std::string("<dt>") + page_text::kDate + "</dt><dd>" + escapeHtml(toUtf8(r.date)) +
           "</dd><dt>" + page_text::kNotes + "</dt><dd class=\"text\">" +
           escapeHtml(toUtf8(r.notes)) + "</dd></dl>\n";
    if (!live)
        out += "<form method=\"post\" action=\"/release/republish\">" + hiddenInput("csrf", csrf) +
               hiddenInput("id", std::to_string(c.id)) +
               "<button type=\"submit\" class=\"quiet\" aria-describedby=\"" + id + "\">" +
               page_text::kRepublish + "</button></form>\n";
    return out + "</article></li>\n";
}

} // namespace

std::string releaseHistorySection(const ReleaseRows& history, const std::optional<Release>& shown,
                                  const std::string& csrf) {
    std::string out = std::string("<h2>") + page_text::kHistoryTitle + "</h2>\n";
    if (history.changes.empty())
        return out + "<p>" + page_text::kNoHistory + "</p>\n";
    out += std::string("<p class=\"muted\">") + page_text::kHistoryOrder + "</p>\n";
    if (history.total > static_cast<std::int64_t>(history.changes.size()))
        out += "<p>" + page_text::historyCut(history.total, history.changes.size()) +
               page_text::kAllRowsCommand + "<code>pelvoran-server release history</code>" +
               page_text::kSentenceEnd + "</p>\n";
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
    return adminFrame(page_text::kErrorTitle,
                      std::string("<h1>") + page_text::kErrorTitle + "</h1>\n<p>" +
                          escapeHtml(why) + page_text::kBackToPage + "<a href=\"/release\">" +
                          page_text::kReleaseNav + "</a>" + page_text::kReloadAndRetry + "</p>\n",
                      "/release");
}

std::string auditPage(const AuditView& view) {
    const std::int64_t pages =
        std::max<std::int64_t>(1, (view.log.total + kAuditPerPage - 1) / kAuditPerPage);
    std::string main = std::string("<h1>") + page_text::kAuditNav + "</h1>\n<p>" +
                       page_text::kAuditIntro + "</p>\n";
    main += "<h2>" + page_text::auditCount(view.log.total, view.pageNo, pages) + "</h2>\n";
    main += view.log.entries.empty() ? std::string("<p>") + page_text::kNoAuditRows + "</p>\n"
                                     : std::string("<ol class=\"log\">\n");
    for (const auto& e : view.log.entries) {
        main += "<li><p class=\"muted\">" + when(e.time) + " · <span class=\"keep\">" +
                sourceText(e.source) + "</span>" +
                (e.address.empty() ? ""
                                   : std::string(" · <span class=\"keep\">") + page_text::kFrom +
                                         escapeHtml(e.address) + "</span>") +
                "</p><p><strong>" + escapeHtml(e.action) + "</strong> " + escapeHtml(e.detail) +
                "</p></li>\n";
    }
    if (!view.log.entries.empty())
        main += "</ol>\n";
    if (pages > 1) {
        main += std::string("<nav aria-label=\"") + page_text::kPagesLabel + "\"><p>";
        if (view.pageNo > 1)
            main +=
                "<a class=\"button quiet\" href=\"/audit?page=" + std::to_string(view.pageNo - 1) +
                "\">" + page_text::kNewerPage + "</a>";
        if (view.pageNo < pages)
            main +=
                "<a class=\"button quiet\" href=\"/audit?page=" + std::to_string(view.pageNo + 1) +
                "\">" + page_text::kOlderPage + "</a>";
        main += "</p></nav>\n";
    }
    return adminFrame(page_text::kAuditNav, main, "/audit");
}

} // namespace pelvoran::server
