#include "server/admin/admin_site.h"

#include "server/admin/admin_reply.h"
#include "server/admin/admin_texts.h"
#include "server/admin/metrics.h"
#include "server/admin/page_rows.h"
#include "server/comments/comment_export.h"
#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
#include "server/pages/use_page.h"
#include "server/release/release.h"
#include "server/store/store.h"
#include "server/support/log.h"
#include "server/support/state_files.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <future>
#include <limits>
#include <map>
#include <optional>
#include <string_view>

namespace pelvoran::server {

namespace {

/// No list is this long; the offset of its last page still fits.
constexpr std::int64_t kMaxPage = std::numeric_limits<std::int64_t>::max() / kCommentsPerPage;

} // namespace

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

namespace {

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

} // namespace

WebResponse page(unsigned status, std::string html) {
    WebResponse r;
    r.status = status;
    r.body = std::move(html);
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

std::string adminUrlCommand(const std::string& shown, uid_t owner) {
    // Debian gives people the uids 1000 to 59999; the rest are the system's,
    // systemd's DynamicUser= ones among them.
    const bool person = owner >= 1000 && owner < 60000;
    std::string quoted = shown;
    if (shown.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-") !=
        std::string::npos) {
        quoted = "'";
        for (const char c : shown)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        quoted += "'";
    }
    return std::string(person ? "" : "sudo ") + "pelvoran-server admin-url --state " + quoted;
}

AdminSite::AdminSite(std::string stateDir, FieldCounter& field, const Metrics& metrics,
                     std::string signIn, std::string adminBase, std::string metricsToken,
                     std::string database, const Clock& clock)
    : stateDir_(std::move(stateDir)),
      database_(database.empty() ? databasePath(stateDir_) : std::move(database)), field_(field),
      metrics_(metrics), signIn_(std::move(signIn)), adminBase_(std::move(adminBase)),
      metricsToken_(std::move(metricsToken)), clock_(clock),
      sessions_(database_, AdminSessions::Limits(), clock) {}

WebResponse AdminSite::startSession(const WebRequest& request) {
    // The admin token of before in an old address, a bookmark or a log:
    // whatever it says, it opens nothing now.
    if (!request.query.contains(kSignInField))
        return page(401, signInPage(admin_text::kOldAdminAddress, signIn_));
    const auto cookie = sessions_.start(request);
    if (!cookie)
        return page(401, signInPage(admin_text::kSignInAddressSpent, signIn_));
    logError(admin_text::kSignedInLog);
    Database(database_).audit().append(admin_text::kSignInAction, admin_text::kSignInDetail,
                                       kByPages, request.client);
    // The same page, without the code in the address bar or the history;
    // only ever a page of this site, whatever path came with the code.
    std::string to = "/comments";
    if (isAdminPage(request.path)) {
        to = request.path;
        char sep = '?';
        for (const auto& [k, v] : request.query)
            if (k != kSignInField && k != kOldTokenField) {
                to += sep + percentEncode(k) + "=" + percentEncode(v);
                sep = '&';
            }
    }
    WebResponse r = redirect(to);
    r.headers.emplace_back("Set-Cookie", *cookie);
    return r;
}

std::optional<WebResponse> AdminSite::findSession(const WebRequest& request,
                                                  std::optional<AdminSessions::Session>& session) {
    try {
        session = sessions_.find(request);
    } catch (const std::exception& e) {
        return page(503, databaseErrorPage(e.what()));
    }
    if (!session)
        return page(401, signInPage(admin_text::kSignInFirst, signIn_));
    return std::nullopt;
}

std::optional<WebResponse> AdminSite::admitUpload(const WebRequest& request) {
    std::optional<AdminSessions::Session> session;
    if (auto refusal = findSession(request, session))
        return refusal;
    // The body is not read yet: the form's token comes in its address.
    WebRequest head = request;
    head.body = "csrf=" + percentEncode(value(request.query, "csrf"));
    switch (AdminSessions::checkPost(head, *session)) {
    case AdminSessions::PostCheck::Allowed: return std::nullopt;
    case AdminSessions::PostCheck::OtherOrigin:
        return page(403, deniedPage(admin_text::kOtherSite));
    case AdminSessions::PostCheck::StaleForm:
        return page(403, deniedPage(admin_text::kFormExpired));
    }
    return std::nullopt;
}

WebResponse AdminSite::handle(const WebRequest& request, Route route) {
    std::promise<WebResponse> later;
    auto now = handle(request, route, [&later](WebResponse w) { later.set_value(std::move(w)); });
    return now ? std::move(*now) : later.get_future().get();
}

std::optional<WebResponse> AdminSite::handle(const WebRequest& request, Route route, Later later) {
    if (route == Route::StyleSheet)
        return styleSheet();
    try {
        if (route == Route::AdminMetrics)
            return metrics(request);
        if (request.query.contains(kSignInField) || request.query.contains(kOldTokenField))
            return startSession(request);
    } catch (const std::exception& e) {
        return page(503, databaseErrorPage(e.what()));
    }
    std::optional<AdminSessions::Session> session;
    if (auto refusal = findSession(request, session))
        return refusal;
    if (route == Route::AdminLogout) {
        if (AdminSessions::checkPost(request, *session) == AdminSessions::PostCheck::OtherOrigin)
            return page(403, deniedPage(admin_text::kOtherSite));
        try {
            WebResponse r = page(200, signedOutPage(signIn_));
            r.headers.emplace_back("Set-Cookie", sessions_.end(*session));
            logError(admin_text::kSignedOutLog);
            Database(database_).audit().append(admin_text::kSignOutAction,
                                               admin_text::kSignOutDetail, kByPages);
            return r;
        } catch (const std::exception& e) {
            return page(503, databaseErrorPage(e.what()));
        }
    }
    if (request.method == "POST") {
        switch (AdminSessions::checkPost(request, *session)) {
        case AdminSessions::PostCheck::Allowed: break;
        case AdminSessions::PostCheck::OtherOrigin:
            return page(403, deniedPage(admin_text::kOtherSite));
        case AdminSessions::PostCheck::StaleForm:
            return page(403, deniedPage(admin_text::kFormExpired));
        }
    }
    try {
        auto answer = this->route(request, route, session->csrf, later);
        if (!answer)
            return std::nullopt;
        return withBanners(std::move(*answer));
    } catch (const std::exception& e) {
        return page(503, databaseErrorPage(e.what()));
    }
}

WebResponse AdminSite::withBanners(WebResponse r) {
    if (!r.type.starts_with("text/html") || r.body.empty())
        return r;
    Database db(database_);
    r.body = withBanner(std::move(r.body),
                        failingBanner(recipientRows(db.outbox().recipients()), secondsNow()) +
                            heldBanner(db.comments().heldCount()));
    return r;
}

std::optional<WebResponse> AdminSite::route(const WebRequest& request, Route route,
                                            const std::string& csrf, Later& later) {
    switch (route) {
    case Route::AdminHome: return redirect("/comments");
    case Route::AdminComments: return comments(request, csrf);
    case Route::AdminCommentsCsv: return exportComments(true);
    case Route::AdminCommentsJsonl: return exportComments(false);
    case Route::AdminMark: return mark(request);
    case Route::AdminMarkAllRead: return markAllRead();
    case Route::AdminDelete: return remove(request, csrf);
    case Route::AdminApprove: return approve(request);
    case Route::AdminAnswer: return answer(request, csrf, false);
    case Route::AdminAnswerWithdraw: return answer(request, csrf, true);
    case Route::AdminRelease: return release(request, csrf);
    case Route::AdminRepublish: return republish(request, csrf);
    case Route::AdminAudit: return audit(request);
    case Route::AdminUse: return use();
    case Route::AdminComment: return oneComment(request, csrf);
    case Route::AdminNotify: return notifications(request, csrf, later);
    case Route::AdminNotifyRemove: return removeRecipient(request, csrf);
    default: return page(404, notFoundPage());
    }
}

WebResponse AdminSite::comments(const WebRequest& request, const std::string& csrf) {
    CommentsView view;
    view.search = value(request.query, "q");
    view.csrf = csrf;
    view.pageNo = pageAsked(value(request.query, "page"));
    Database db(database_);
    const auto pageAt = [&](std::int64_t pageNo) {
        return commentRows(db.comments().page(view.search, CommentList::Listed,
                                              (pageNo - 1) * kCommentsPerPage, kCommentsPerPage));
    };
    view.list = pageAt(view.pageNo);
    if (const std::int64_t pages = commentPages(view.list.total); view.pageNo > pages) {
        view.pageNo = pages; // past the end: the last page there is
        view.list = pageAt(pages);
    }
    view.held =
        commentRows(db.comments().page(view.search, CommentList::Held, 0, kCommentsPerPage));
    view.flagged =
        commentRows(db.comments().page(view.search, CommentList::Flagged, 0, kCommentsPerPage));
    view.unread = db.comments().unreadCount();
    if (const auto deleted = wholeNumber(value(request.query, "deleted")); deleted && *deleted > 0)
        view.notice = admin_text::deletedComments(*deleted);
    if (const auto approved = wholeNumber(value(request.query, "approved"));
        approved && *approved > 0)
        view.notice = admin_text::approvedComment(*approved);
    return page(200, commentsPage(view));
}

WebResponse AdminSite::markAllRead() {
    Database db(database_);
    db.comments().markAllRead(kByPages);
    return redirect("/comments");
}

WebResponse AdminSite::remove(const WebRequest& request, const std::string& csrf) {
    const bool post = request.method == "POST";
    const auto form = post ? parseForm(request.body) : request.query;
    Database db(database_);
    if (value(form, "flagged") == "1") {
        if (!post) {
            const std::int64_t count = db.comments().page("", CommentList::Flagged, 0, 0).total;
            return count == 0 ? redirect("/comments") : page(200, deleteFlaggedPage(count, csrf));
        }
        const std::int64_t count = db.comments().removeFlagged(kByPages);
        if (const Remnant left = db.comments().remnant(); left != Remnant::none)
            return page(200, deletedNotWipedPage(count, left == Remnant::tableFiles));
        return redirect("/comments?deleted=" + std::to_string(count));
    }
    const auto id = wholeNumber(value(form, "id"));
    if (!id || *id < 1)
        return page(400, badDeletePage());
    if (!post) {
        const auto c = db.comments().find(*id);
        return c ? page(200, deleteCommentPage(commentRow(*c), csrf))
                 : page(404, noSuchCommentPage(*id));
    }
    if (!db.comments().remove({*id}, kByPages).empty())
        return page(404, noSuchCommentPage(*id));
    if (const Remnant left = db.comments().remnant(); left != Remnant::none)
        return page(200, deletedNotWipedPage(1, left == Remnant::tableFiles));
    return redirect("/comments?deleted=1");
}

WebResponse AdminSite::approve(const WebRequest& request) {
    const auto id = wholeNumber(value(parseForm(request.body), "id"));
    if (!id || *id < 1)
        return page(400, badDeletePage());
    Database db(database_);
    // A second click, or another browser's, finds it let through already.
    if (!db.comments().approve(*id, kByPages) && !db.comments().find(*id))
        return page(404, noSuchCommentPage(*id));
    return redirect("/comments?approved=" + std::to_string(*id));
}

WebResponse AdminSite::mark(const WebRequest& request) {
    const auto form = parseForm(request.body);
    const auto id = wholeNumber(value(form, "id"));
    const std::string read = value(form, "read");
    if (!id || *id < 1 || (read != "0" && read != "1"))
        return page(400, badMarkPage());
    Database db(database_);
    if (!db.comments().markRead(*id, read == "1"))
        return page(404, noSuchCommentPage(*id));
    // Only a page of this site: never an address someone else chose.
    return redirect(returnAddress(value(form, "back")));
}

WebResponse AdminSite::exportComments(bool csv) {
    Database db(database_);
    WebResponse r;
    r.body = commentExport(db.comments().list(), csv ? ExportFormat::Csv : ExportFormat::JsonLines);
    r.type = csv ? "text/csv; charset=utf-8" : "application/jsonl; charset=utf-8";
    r.headers.emplace_back("Content-Disposition", std::string("attachment; filename=\"comments.") +
                                                      (csv ? "csv" : "jsonl") + "\"");
    r.headers.emplace_back("Cache-Control", "no-store");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return r;
}

WebResponse AdminSite::release(const WebRequest& request, const std::string& csrf) {
    Database db(database_);
    const bool post = request.method == "POST";
    const auto form = post ? parseForm(request.body) : request.query;
    // A page for a platform that is none: Windows's, as every address of
    // the page before platforms was.
    const Platform platform = parsePlatform(value(form, "platform")).value_or(Platform::Windows);
    ReleaseView view = releaseView(db, platform, csrf);
    const PageSigning signing = pageSigning(stateDir_, view);
    if (!post) {
        view.draft = draftFor(view, view.shown.value_or(Release{}));
        view.notice =
            doneNotice(db, value(request.query, "done"), value(request.query, "id"), platform);
        return releaseReply(db, 200, view);
    }
    const std::string action = value(form, "action");
    if (action == "clear") {
        db.releases().clear(kByPages, platform);
        return redirect(releaseAddress(platform, "done=cleared"));
    }
    if (action == "rollout" || action == "halt")
        return rollout(db, view, action == "halt" ? "0" : value(form, "percent"));
    std::string signature = value(form, "signature");
    const auto blank = signature.find_last_not_of(" \t\r\n");
    signature.erase(blank == std::string::npos ? 0 : blank + 1);
    signature.erase(0, signature.find_first_not_of(" \t\r\n"));
    // A browser sends the notes' line breaks as CR LF; they are signed,
    // checked and kept with LF, as the command line has them.
    view.draft = {fromUtf8Lenient(value(form, "version")), fromUtf8Lenient(value(form, "address")),
                  fromUtf8Lenient(value(form, "date")),
                  lfLineBreaks(fromUtf8Lenient(value(form, "notes"))), signature};
    // A form from before rollouts has no percentage: everyone, as then.
    view.draftRollout = form.contains("rollout") ? value(form, "rollout") : "100";
    const auto percent = parsePercentage(view.draftRollout);
    if (!percent)
        view.rolloutError = admin_text::kPercentProblem;
    view.draftBase = value(form, "base");
    if (action == "publish" && request.upload)
        return percent ? publishUpload(db, view, signing, *request.upload, view.draftBase)
                       : publishFromPages(db, view, signing, PublishAct::Publish);
    if (action == "publish")
        return publishFromPages(db, view, signing, PublishAct::Publish);
    Release checked = view.draft;
    if (const auto problems = checkedForPages(checked, signing); !problems.empty() || !percent) {
        for (const auto& problem : problems)
            view.errors.emplace(problem.field, toUtf8(problem.message));
        return releaseReply(db, 400, view);
    }
    view.previewing = true;
    return releaseReply(db, 200, view);
}

WebResponse AdminSite::use() {
    UseView view;
    view.today = localDay(std::chrono::floor<std::chrono::seconds>(clock_.now()));
    Database db(database_);
    view.checksPerDay = db.field().checksSince(view.today - std::chrono::days(kUseDays - 1));
    FieldCounts field = db.field().fieldSince(view.today - std::chrono::days(kFieldDays - 1));
    for (const Platform platform : {Platform::Windows, Platform::Linux}) {
        PlatformRelease shown{platform, db.releases().offer(platform)};
        shown.offer.key.clear(); // the page has no use for it
        if (const auto newest = newestOut(shown.offer))
            shown.published = db.field().firstPublished(platform, toUtf8(newest->version));
        view.releases.push_back(std::move(shown));
    }
    // The minute not written out yet, as it will be written.
    const PendingField pending = field_.pending();
    for (const auto& [day, n] : checksPerDay(pending.field))
        view.checksPerDay[day] += n;
    for (const auto& [day, counts] : pending.field) {
        DayField& shown = field[day];
        for (const auto& [key, n] : counts.checks)
            shown.checks[key] += n;
        for (const auto& [key, n] : counts.offers)
            shown.offers[key] += n;
        for (const auto& [key, n] : counts.downloads)
            shown.downloads[key] += n;
        if (counts.clients && shown.clients)
            shown.clients->merge(*counts.clients);
        else if (counts.clients)
            shown.clients = counts.clients;
    }
    view.field = fieldDays(field);
    return page(200, usePage(view));
}

WebResponse AdminSite::metrics(const WebRequest& request) {
    if (!bearerIs(request, metricsToken_)) {
        WebResponse r = WebResponse{401,
                                    "text/plain; charset=utf-8",
                                    std::string(admin_text::kMetricsTokenBefore) +
                                        kMetricsTokenFile + admin_text::kMetricsTokenAfter,
                                    {}};
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        return r;
    }
    WebResponse r;
    r.type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = metricsText(metrics_, stateFigures(stateDir_, database_, millisNow()));
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

} // namespace pelvoran::server
