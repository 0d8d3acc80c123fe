#pragma once

#include "server/http/web.h"
#include "server/support/clock.h"
#include "server/support/state_files.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

/// The token in the state directory's file `name` (kAdminTokenFile or
/// kMetricsTokenFile), made (mode 0600) when there is none.
std::string stateToken(const std::string& stateDir, const char* name);
/// The admin pages' token of the state directory.
inline std::string adminToken(const std::string& stateDir) {
    return stateToken(stateDir, kAdminTokenFile);
}
/// The token of the state directory that /metrics takes.
inline std::string metricsToken(const std::string& stateDir) {
    return stateToken(stateDir, kMetricsTokenFile);
}

/// Whether the request carries `token`, as a monitoring agent sends it:
/// "Authorization: Bearer <token>". An empty token is carried by none.
bool bearerIs(const WebRequest& request, std::string_view token);

/// Compares secrets in a time that does not tell how much of them matched.
bool sameSecret(std::string_view a, std::string_view b);

/// Who may use the admin pages: the token in the admin address opens a
/// session, a cookie names it from then on, and every form of the session
/// carries its CSRF token. Sessions live in the database, by a digest of the
/// cookie alone, so they outlast a restart; their lives pass on `clock`.
/// Safe to use from several threads.
class AdminSessions {
public:
    struct Limits {
        /// Sessions kept at most: a publisher has a few browsers, and whoever
        /// trades the token again and again costs no more room than this.
        std::size_t sessions = 32;
        /// How long a session lasts from its start, used or not.
        std::chrono::milliseconds life = std::chrono::hours(12);
    };

    struct Session {
        std::string key; // the digest the database knows it by
        std::string csrf;
    };

    /// Why a POST of a session goes no further.
    enum class PostCheck {
        Allowed,
        OtherOrigin, // the browser says another site sent it
        StaleForm,   // the form's CSRF token is not the session's
    };

    AdminSessions(std::string token, std::string databasePath)
        : AdminSessions(std::move(token), std::move(databasePath), Limits()) {}
    AdminSessions(std::string token, std::string databasePath, Limits limits,
                  const Clock& clock = Clock::system());

    /// The live session the request's cookie names; it counts as used now.
    /// Throws StoreError when the database cannot be read.
    std::optional<Session> find(const WebRequest& request);

    /// Trades the token in the request's query for a new session: the value
    /// of the Set-Cookie header that names it, or nullopt when the token is
    /// wrong. When the table is full, the session unused longest goes.
    std::optional<std::string> start(const WebRequest& request);

    /// Ends `session`: its cookie opens nothing from now on. The value of the
    /// Set-Cookie header that makes the browser forget it.
    std::string end(const Session& session);

    /// Whether a POST of `session` may act: from this site's own origin (as
    /// the request's scheme says the browser reached it) or from none, and
    /// with the session's CSRF token in its form.
    static PostCheck checkPost(const WebRequest& request, const Session& session);

private:
    const std::string token_;
    const std::string databasePath_;
    const Limits limits_;
    const Clock& clock_;
};

} // namespace pelvoran::server
