#pragma once

#include "server/http/handler.h"
#include "server/http/limits.h"
#include "server/http/listener.h"

#include <atomic>
#include <optional>
#include <string>

struct MHD_Daemon;

namespace pelvoran::server {

class RequestHandler;

/// One listener: libmicrohttpd on a bound socket. It reads each request,
/// bounded by `guard` (deadlines, body budget, connections per client; its
/// own slots there) and the framing rules, and hands it whole to `site`.
class HttpListener {
public:
    struct Settings {
        bool admin = false;
        unsigned maxConnections = kDefaultMaxConnections;
        /// A connection that sends nothing for this long is closed (the
        /// guard follows a file being sent).
        unsigned idleSeconds = kDefaultIdleSeconds;
        /// Requests from this address name the client in X-Forwarded-For
        /// and the scheme in X-Forwarded-Proto.
        std::optional<ClientAddress> trustedProxy;
        /// The lookup page's place on a public listener ("/" or "/x/").
        std::string publicPrefix = "/";
        /// Where a file uploaded to the release page is written while it
        /// arrives (the state directory), and its largest size; the admin
        /// listener's alone.
        std::string uploadDir;
        std::uint64_t maxUpload = 0;
    };

    /// Throws std::runtime_error when the library cannot start on `socket`.
    HttpListener(ListenSocket socket, Settings settings, RequestHandler& site,
                 ConnectionGuard& guard);
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    /// "HOST:PORT" as bound.
    const std::string& address() const { return shown_; }
    /// Takes no new connection; those open may finish.
    void quiesce();
    /// Closes every connection, idle or not.
    void stop();

    // The library's callbacks reach the listener through these.
    struct Callbacks;

private:
    friend struct Callbacks;
    const Settings settings_;
    RequestHandler& site_;
    ConnectionGuard& guard_;
    ConnectionGuard::Listener& slots_; // this listener's, in the guard
    MHD_Daemon* daemon_ = nullptr;
    int quiesced_ = -1; // the listening socket, once the library gave it back
    std::string shown_;
};

} // namespace pelvoran::server
