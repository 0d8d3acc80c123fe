#pragma once

#include <string_view>

namespace pelvoran::server {

/// What a request asks for, by listener, method and path: the one table of
/// every address the server answers.
enum class Route {
    // The public listener: the desktop tools in the field and the lookup page.
    // The tools' paths (the update check, the comment, the answers) never
    // move with the page's prefix.
    UpdateCheck,    // GET /Canon/LensCheck.asp (HEAD too)
    DesktopComment, // POST /Canon/comment.asp
    WebComment,     // POST /comment, the lookup page's form
    CommentThanks,  // GET /thanks, where the form's 303 once led
    ReplyLookup,    // POST /reply, the lookup page's form for a reply code
    LookupPage,     // GET /
    StyleSheet,     // GET /style.css, on both listeners
    HelpPhoto,      // GET /help.png
    Health,         // GET /healthz, for a monitor: at the root whatever the prefix
    Download,       // GET /download/<platform>/<version>/<name>, a served file
    AnswerFetch,    // POST /answers, the tools' fetch of the publisher's answers
    AnswerSeen,     // POST /answers/seen, a tool's word that it showed them
    // The admin listener.
    AdminHome,
    AdminComments,
    AdminCommentsCsv,
    AdminCommentsJsonl,
    AdminMark,
    AdminMarkAllRead,    // POST /comments/read-all
    AdminDelete,         // GET asks, POST deletes
    AdminApprove,        // POST /comments/approve, a comment held as likely spam let through
    AdminAnswer,         // POST /comments/answer, the publisher's answer written or edited
    AdminAnswerWithdraw, // POST /comments/answer/withdraw
    AdminRelease,        // GET and POST
    AdminRepublish,      // POST /release/republish, a row of the release history
    AdminAudit,          // GET /audit, the log of the publisher's actions
    AdminComment,        // GET /comment?id=N, where a notification links to
    AdminNotify,         // GET lists the recipients, POST adds or tests one
    AdminNotifyRemove,   // GET asks, POST removes
    AdminUse,
    AdminLogout,  // POST /logout
    AdminMetrics, // GET /metrics, with the token as a bearer token
    // Neither.
    NotAllowed, // a path answered, but not for this method
    NotFound,
};

struct RouteMatch {
    Route route = Route::NotFound;
    /// The methods the path takes, for the Allow header of NotAllowed.
    const char* allow = "";
};

/// On the public listener the lookup page and its files are under `prefix`
/// ("/" or "/x/"); the tools' two paths never move, and /healthz answers at
/// the root as well.
RouteMatch findRoute(bool admin, std::string_view method, std::string_view path,
                     std::string_view prefix = "/");

/// Whether the route reads the request's body (the others drop it unread).
bool takesBody(Route route);

/// Whether an admin page may be returned to after the token trade: a page
/// that GET shows.
bool isAdminPage(std::string_view path);

} // namespace pelvoran::server
