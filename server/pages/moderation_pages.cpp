#include "server/pages/admin_pages.h"

#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/support/state_files.h"

namespace pelvoran::server {
namespace {

const std::string kGoneForGoodParagraph = std::string("<p>") + page_text::kGoneForGood + "</p>\n";

std::string confirmForm(const std::string& field, const std::string& value, const std::string& csrf,
                        const std::string& button) {
    return "<form method=\"post\" action=\"/comments/delete\">" + hiddenInput("csrf", csrf) +
           hiddenInput(field, value) + "<button type=\"submit\" class=\"danger\">" + button +
           "</button><a class=\"button quiet\" href=\"/comments\">" + page_text::kCancel +
           "</a></form>\n";
}

} // namespace

std::string deleteCommentPage(const CommentRow& c, const std::string& csrf) {
    const std::string id = std::to_string(c.id);
    return adminFrame(page_text::kDeleteCommentTitle,
                      "<h1>" + page_text::deleteCommentQuestion(id) +
                          "</h1>\n<article aria-labelledby=\"c" + id + "\" class=\"quote\">" +
                          commentDetails(c) + "\n<p class=\"text\">" + escapeHtml(toUtf8(c.text)) +
                          "</p></article>\n" + kGoneForGoodParagraph +
                          confirmForm("id", id, csrf, page_text::kDeleteThisComment),
                      "/comments");
}

std::string deleteFlaggedPage(std::int64_t count, const std::string& csrf) {
    const std::string n = std::to_string(count);
    return adminFrame(page_text::kDeleteFlaggedTitle,
                      "<h1>" + page_text::deleteFlaggedQuestion(n) + "</h1>\n" +
                          kGoneForGoodParagraph +
                          confirmForm("flagged", "1", csrf, page_text::deleteTheseComments(n)),
                      "/comments");
}

std::string deletedNotWipedPage(std::int64_t count, bool inTables) {
    const std::string where =
        inTables ? std::string(page_text::kStillInTables) + " <code>VACUUM (FULL) comments</code>。"
                 : page_text::kStillInWalBefore + std::string(kDatabaseFile) + kWalSuffix +
                       page_text::kStillInWalAfter +
                       "（<code>sudo systemctl restart pelvoran-server</code>）。";
    return adminFrame(page_text::kDeletedTitle,
                      "<h1>" + page_text::deletedComments(count) + "</h1>\n<p class=\"error\">" +
                          where + "</p>\n<p><a href=\"/comments\">" + page_text::kBackToComments +
                          "</a></p>\n",
                      "/comments");
}

std::string badDeletePage() {
    return adminFrame(page_text::kErrorTitle,
                      std::string("<h1>") + page_text::kErrorTitle + "</h1>\n<p>" +
                          page_text::kBadCommentId + page_text::kBackToPage +
                          "<a href=\"/comments\">" + page_text::kCommentsNav + "</a>" +
                          page_text::kReloadAndRetry + "</p>\n",
                      "/comments");
}

} // namespace pelvoran::server
