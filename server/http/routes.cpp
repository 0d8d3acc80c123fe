#include "server/http/routes.h"

#include "net/wire.h"

#include <iterator>
#include <optional>

namespace pelvoran::server {
namespace {

enum class Method { Get, Post };

struct Entry {
    bool admin;
    std::string_view path;
    Method method;
    Route route;
};

constexpr Entry kRoutes[] = {
    {false, wire::kUpdatePath.ascii(), Method::Get, Route::UpdateCheck},
    {false, wire::kCommentPath.ascii(), Method::Post, Route::DesktopComment},
    {false, "/comment", Method::Post, Route::WebComment},
    {false, "/thanks", Method::Get, Route::CommentThanks},
    {false, "/reply", Method::Post, Route::ReplyLookup},
    {false, "/", Method::Get, Route::LookupPage},
    {false, "/style.css", Method::Get, Route::StyleSheet},
    {false, "/help.png", Method::Get, Route::HelpPhoto},
    {false, "/healthz", Method::Get, Route::Health},
    {false, wire::kAnswersPath.ascii(), Method::Post, Route::AnswerFetch},
    {false, wire::kAnswersSeenPath.ascii(), Method::Post, Route::AnswerSeen},
    {true, "/", Method::Get, Route::AdminHome},
    {true, "/comments", Method::Get, Route::AdminComments},
    {true, "/comments.csv", Method::Get, Route::AdminCommentsCsv},
    {true, "/comments.jsonl", Method::Get, Route::AdminCommentsJsonl},
    {true, "/comments/mark", Method::Post, Route::AdminMark},
    {true, "/comments/read-all", Method::Post, Route::AdminMarkAllRead},
    {true, "/comments/delete", Method::Get, Route::AdminDelete},
    {true, "/comments/delete", Method::Post, Route::AdminDelete},
    {true, "/comments/approve", Method::Post, Route::AdminApprove},
    {true, "/comments/answer", Method::Post, Route::AdminAnswer},
    {true, "/comments/answer/withdraw", Method::Post, Route::AdminAnswerWithdraw},
    {true, "/release", Method::Get, Route::AdminRelease},
    {true, "/release", Method::Post, Route::AdminRelease},
    {true, "/release/republish", Method::Post, Route::AdminRepublish},
    {true, "/audit", Method::Get, Route::AdminAudit},
    {true, "/use", Method::Get, Route::AdminUse},
    {true, "/comment", Method::Get, Route::AdminComment},
    {true, "/notify", Method::Get, Route::AdminNotify},
    {true, "/notify", Method::Post, Route::AdminNotify},
    {true, "/notify/remove", Method::Get, Route::AdminNotifyRemove},
    {true, "/notify/remove", Method::Post, Route::AdminNotifyRemove},
    {true, "/logout", Method::Post, Route::AdminLogout},
    {true, "/metrics", Method::Get, Route::AdminMetrics},
    {true, "/style.css", Method::Get, Route::StyleSheet},
};

} // namespace

RouteMatch findRoute(bool admin, std::string_view method, std::string_view path,
                     std::string_view prefix) {
    const bool get = method == "GET" || method == "HEAD";
    // The page's addresses with the prefix taken off ("/x/style.css" is
    // "/style.css"); none when the path is outside the prefix.
    std::optional<std::string_view> pagePath = path;
    if (!admin && prefix.size() > 1)
        pagePath =
            path.starts_with(prefix) ? std::optional(path.substr(prefix.size() - 1)) : std::nullopt;
    bool takesGet = false;
    bool takesPost = false;
    for (const Entry& e : kRoutes) {
        const bool tool = e.route == Route::UpdateCheck || e.route == Route::DesktopComment ||
                          e.route == Route::AnswerFetch || e.route == Route::AnswerSeen;
        // A monitor finds /healthz at the root whatever the prefix, and beside
        // the page as well.
        const bool found = tool
                               ? e.path == path
                               : e.path == pagePath || (e.route == Route::Health && e.path == path);
        if (e.admin != admin || !found)
            continue;
        if ((e.method == Method::Get && get) || (e.method == Method::Post && method == "POST"))
            return {e.route};
        (e.method == Method::Get ? takesGet : takesPost) = true;
    }
    // Served files: which ones there are, the site knows.
    if (!admin && pagePath && pagePath->starts_with("/download/"))
        return get ? RouteMatch{Route::Download} : RouteMatch{Route::NotAllowed, "GET, HEAD"};
    if (takesGet || takesPost)
        return {Route::NotAllowed, takesGet && takesPost ? "GET, HEAD, POST"
                                   : takesGet            ? "GET, HEAD"
                                                         : "POST"};
    // Any other address of the public site is a page that is not there, or a
    // method pages do not take.
    if (!admin && !get)
        return {Route::NotAllowed, "GET, HEAD"};
    return {Route::NotFound};
}

bool takesBody(Route route) {
    return route == Route::DesktopComment || route == Route::WebComment ||
           route == Route::ReplyLookup || route == Route::AnswerFetch ||
           route == Route::AnswerSeen || route == Route::AdminMark ||
           route == Route::AdminMarkAllRead || route == Route::AdminDelete ||
           route == Route::AdminApprove || route == Route::AdminAnswer ||
           route == Route::AdminAnswerWithdraw || route == Route::AdminRelease ||
           route == Route::AdminRepublish || route == Route::AdminNotify ||
           route == Route::AdminNotifyRemove;
}

bool isAdminPage(std::string_view path) {
    for (const Entry& e : kRoutes)
        if (e.admin && e.method == Method::Get && e.path == path && e.path != "/style.css" &&
            e.path != "/metrics")
            return true;
    return false;
}

} // namespace pelvoran::server
