#pragma once

#include "server/http/http_texts.h"
#include "server/http/routes.h"
#include "server/http/web.h"

#include <functional>
#include <optional>
#include <string>

namespace pelvoran::server {

/// A request once all of it has arrived, as the HTTP layer hands it over.
struct Incoming {
    bool admin = false; // came to the admin listener
    RouteMatch match;
    /// Method and path always; query, headers and body for the routes that
    /// read them.
    WebRequest request;
    /// Who the comment limits count: the client's limit key.
    std::string client;
    /// The User-Agent header, on the tools' two routes; empty elsewhere.
    std::string userAgent;
    /// The Pelvoran-Reply-Key header, on the desktop comment's route; empty
    /// elsewhere.
    std::string replyKey;
    /// The client's network (ClientAddress::networkKey), on the tools' two
    /// routes, the web form's comments and downloads: empty elsewhere and
    /// when the address is unknown.
    std::string network;
    /// The body was over the limit and was dropped.
    bool tooLarge = false;
};

/// What answers the requests a listener has read whole; the listener knows
/// nothing of what the answers are.
class RequestHandler {
public:
    using Later = std::function<void(WebResponse)>;
    virtual ~RequestHandler() = default;
    /// The answer; or nullopt when it comes later, through `later`, called
    /// once from another thread (a comment is answered once it is durable).
    virtual std::optional<WebResponse> answer(const Incoming& in, Later later) = 0;
    /// Whether the body of a file upload, whose head `in` is, may be read:
    /// the refusal, or nullopt. Asked before a byte of the body is written.
    virtual std::optional<WebResponse> admitUpload(const Incoming& in) {
        (void)in;
        return textResponse(404, http_text::kNoUploads);
    }
};

} // namespace pelvoran::server
