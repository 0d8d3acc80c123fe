#pragma once

#include "server/pages/rows.h"
#include "server/release/release.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

// The publisher's pages as HTML documents, from data alone: no database, no
// clock. Every text they show is escaped here.

/// Comments on one page of a list.
inline constexpr std::int64_t kCommentsPerPage = 50;

/// The pages a list of `total` comments takes; one at least.
std::int64_t commentPages(std::int64_t total);

/// A text for an address: RFC 3986's unreserved bytes as they are, every
/// other byte %XX.
std::string percentEncode(std::string_view s);

/// The address of a page of the comment list, as the list links to it.
std::string commentsAddress(std::int64_t pageNo, const std::string& search);

struct CommentsView {
    CommentRows list;    // the page shown
    CommentRows held;    // the first of those held as likely spam
    CommentRows flagged; // the first of those the web form's bot field caught (not held)
    std::int64_t unread = 0;
    std::int64_t pageNo = 1; // 1 to commentPages(list.total)
    std::string search;
    std::string csrf;
    std::string notice; // what was just done, as text
};
std::string commentsPage(const CommentsView& view);

/// The document around `main`, titled `title`; the navigation bar marks
/// `current`, and a page with no `current` has none.
std::string adminFrame(const std::string& title, const std::string& main,
                       const std::string& current = "");
std::string hiddenInput(const std::string& name, const std::string& value);

/// How long a recipient's notifications fail before every page says so.
inline constexpr std::chrono::seconds kFailingBannerAfter = std::chrono::hours(1);
/// The warning at the top of every publisher's page, linking to "通知", for
/// the recipients whose failures in a row began kFailingBannerAfter or more
/// before `now` (nothing arrived since); empty when there is none.
std::string failingBanner(const std::vector<RecipientRow>& recipients,
                          std::chrono::sys_seconds now);
/// The line at the top of every publisher's page while `count` comments
/// are held as likely spam, linking to their list; empty when none is.
std::string heldBanner(std::int64_t count);
/// `page`, a document of adminFrame, with `banner` at the top of its main.
std::string withBanner(std::string page, const std::string& banner);
/// A comment's line of details: number, time, source, read or not (held,
/// and why).
std::string commentDetails(const CommentRow& c);

/// Asks before deleting the comment `c` for good.
std::string deleteCommentPage(const CommentRow& c, const std::string& csrf);
/// Asks before deleting the `count` comments flagged as a bot's.
std::string deleteFlaggedPage(std::int64_t count, const std::string& csrf);
/// A deletion done whose words may still be in the WAL for a while.
std::string deletedNotWipedPage(std::int64_t count, bool inTables);
/// A delete form without a valid comment number.
std::string badDeletePage();

struct ReleaseView {
    Platform platform = Platform::Windows; // whose release the page shows
    std::optional<Release> shown;          // what the server offers now
    int rollout = 100;                     // the percentage of networks offered it
    std::optional<Release> earlier;        // what the networks outside the rollout get
    Release draft;                         // what the form holds
    std::string draftRollout = "100";      // the form's percentage, as typed
    std::string rolloutError;              // what is wrong with the publish form's percentage
    std::string percentError;              // ... with the rollout form's
    /// The tool's box shows the draft; otherwise the shown release's, if any.
    bool previewing = false;
    std::map<ReleaseField, std::string> errors; // per field, as text
    bool keyed = false;     // the state holds the public key: releases must be signed
    bool signsHere = false; // ... and the private key: publishing signs
    std::string notice;     // what was just done, as text
    std::string csrf;
    ReleaseRows history; // its newest kHistoryShown rows
    /// Where served files are published; empty: the form asks for it.
    std::string downloadBase;
    std::string draftBase; // the form's 下载地址开头, as typed
    std::string baseError; // what is wrong with it
    std::string fileError; // ... with the uploaded file
};
std::string releasePage(const ReleaseView& view);

/// The release page of `platform`, with `query` ("done=..."; may be empty)
/// after the platform: Windows's is "/release" as before platforms.
std::string releaseAddress(Platform platform, const std::string& query = "");

/// The rows of the release history the release page shows, newest first.
inline constexpr std::int64_t kHistoryShown = 50;

/// The release history under the release form: each row with what it
/// published, the live one marked, each other publish with a "重新发布"
/// button, and a note when older rows are left out.
std::string releaseHistorySection(const ReleaseRows& history, const std::optional<Release>& shown,
                                  const std::string& csrf);
/// A 重新发布 form without a valid row number, or for a row that published
/// nothing.
std::string badRepublishPage(const std::string& why);

/// Entries of the audit log on one page.
inline constexpr std::int64_t kAuditPerPage = 50;

struct AuditView {
    AuditRows log;
    std::int64_t pageNo = 1; // 1 to the pages log.total takes
};
/// The audit log, newest first, with links to the pages before and after.
std::string auditPage(const AuditView& view);

/// No session: why, and how to get the admin address.
std::string signInPage(const std::string& why, const std::string& command);
/// After "退出": the session is over, and `command` opens a new one.
std::string signedOutPage(const std::string& command);
/// A POST refused before it did anything.
std::string deniedPage(const std::string& why);
/// The database failed; `what` says how.
std::string databaseErrorPage(const std::string& what);
/// A mark form without a valid comment number or read flag.
std::string badMarkPage();
/// A mark form for a comment that is not there.
std::string noSuchCommentPage(std::int64_t id);
std::string notFoundPage();

} // namespace pelvoran::server
