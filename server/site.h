#pragma once

#include "server/routes.h"
#include "server/web.h"

#include <functional>
#include <optional>
#include <string>

namespace pelvoran::server {

class AdminSite;
class CommentWriter;
class DatabaseHealth;
class Metrics;
class RateLimiter;
class ReleaseReply;
class UseCounter;

/// A request once all of it has arrived, as the HTTP layer hands it over.
struct Incoming {
    bool admin = false; // came to the admin listener
    RouteMatch match;
    /// Method and path always; query, headers and body for the routes that
    /// read them.
    WebRequest request;
    /// Who the comment limits count: the client's limit key.
    std::string client;
    /// The body was over the limit and was dropped.
    bool tooLarge = false;
};

/// Answers the requests of both listeners, with no sockets: the update
/// check, comments from the tools and the lookup page, the pages.
class Site {
public:
    using Later = std::function<void(WebResponse)>;

    struct Parts {
        UseCounter& use;
        const ReleaseReply& reply;
        RateLimiter& limiter;
        CommentWriter& writer;
        AdminSite& admin;
        Metrics& metrics;
        DatabaseHealth& health;
    };
    explicit Site(Parts parts) : parts_(parts) {}

    /// The answer; or nullopt when it comes later, through `later`, called
    /// once from another thread (a comment is answered once it is durable,
    /// the admin page's test send once it has ended).
    std::optional<WebResponse> answer(const Incoming& in, Later later);

private:
    std::optional<WebResponse> desktopComment(const Incoming& in, Later& later);
    std::optional<WebResponse> webComment(const Incoming& in, Later& later);
    /// Counts the refusal `r` of a comment, and passes it on.
    WebResponse refused(WebResponse r);

    Parts parts_;
};

/// A plain text answer, in UTF-8.
WebResponse textResponse(unsigned status, std::string body);

} // namespace pelvoran::server
