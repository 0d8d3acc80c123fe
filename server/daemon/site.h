#pragma once

#include "server/comments/comment_hold.h"
#include "server/http/handler.h"
#include "server/http/web.h"
#include "server/release/agent.h"

#include <functional>
#include <optional>
#include <string>

namespace pelvoran::server {

class AdminSite;
class AnswerDesk;
class CommentWriter;
class DatabaseHealth;
class DownloadShelf;
class Metrics;
class RateLimiter;
class ReleaseReply;
class FieldCounter;

/// Answers the requests of both listeners, with no sockets: the update
/// check, comments from the tools and the lookup page, the pages.
class Site final : public RequestHandler {
public:
    struct Parts {
        FieldCounter& field;
        const ReleaseReply& reply;
        RateLimiter& limiter;
        CommentWriter& writer;
        AdminSite& admin;
        Metrics& metrics;
        DatabaseHealth& health;
        /// The tools' answers, and their own limit per client, which the
        /// lookup page's reply codes share.
        AnswerDesk& answers;
        RateLimiter& answerLimiter;
        /// The files served on the public listener; none when null.
        const DownloadShelf* downloads = nullptr;
        /// Told of each download completed (a GET whose answer carried the
        /// whole file went out whole) and the client's network.
        std::function<void(Platform, const std::string& version, const std::string& network)>
            downloaded = [](Platform, const std::string&, const std::string&) {};
    };
    explicit Site(Parts parts) : parts_(parts) {}

    /// The answer; or nullopt when it comes later, through `later`, called
    /// once from another thread (a comment is answered once it is durable,
    /// the admin page's test send once it has ended).
    std::optional<WebResponse> answer(const Incoming& in, Later later) override;
    /// An upload reaches only the admin pages, with a session.
    std::optional<WebResponse> admitUpload(const Incoming& in) override;

private:
    std::optional<WebResponse> desktopComment(const Incoming& in, Later& later);
    std::optional<WebResponse> webComment(const Incoming& in, Later& later);
    std::optional<WebResponse> replyLookup(const Incoming& in, Later& later);
    WebResponse download(const Incoming& in);
    /// Counts the refusal `r` of a comment, and passes it on.
    WebResponse refused(WebResponse r);
    /// Counts a comment stored, held for `held` (empty: not held).
    void counted(const std::string& held);

    Parts parts_;
    /// Which comments are held as likely spam: this server's memory of the
    /// last hour's.
    CommentHold hold_;
};

} // namespace pelvoran::server
