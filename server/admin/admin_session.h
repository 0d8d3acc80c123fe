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

/// The token in the state directory's file `name` (kMetricsTokenFile), made
/// (mode 0600) when there is none.
std::string stateToken(const std::string& stateDir, const char* name);
/// The token of the state directory that /metrics takes.
inline std::string metricsToken(const std::string& stateDir) {
    return stateToken(stateDir, kMetricsTokenFile);
}

/// The field of the sign-in address's query that carries its one-time code:
/// http://HOST:PORT/?signin=CODE.
inline constexpr char kSignInField[] = "signin";
/// The field that carried the admin token before sign-in addresses worked
/// once; it opens nothing now.
inline constexpr char kOldTokenField[] = "token";

/// Whether the request carries `token`, as a monitoring agent sends it:
/// "Authorization: Bearer <token>". An empty token is carried by none.
bool bearerIs(const WebRequest& request, std::string_view token);

/// Compares secrets in a time that does not tell how much of them matched.
bool sameSecret(std::string_view a, std::string_view b);

/// Who may use the admin pages: a one-time code in the sign-in address
/// opens a session, a cookie names it from then on, and every form of the
/// session carries its CSRF token. Codes and sessions live in the database,
/// each by a digest alone, so they outlast a restart and work on every
/// server of a shared database; their lives pass on `clock`. Safe to use
/// from several threads.
class AdminSessions {
public:
    struct Limits {
        /// Sessions kept at most: a publisher has a few browsers, and whoever
        /// opens sign-in addresses again and again costs no more room than this.
        std::size_t sessions = 32;
        /// How long a session lasts from its start, used or not.
        std::chrono::milliseconds life = std::chrono::hours(12);
        /// Codes not used yet kept at most, the newest: whoever prints
        /// addresses again and again costs no more room than this. Neither
        /// limit counts the other's rows.
        std::size_t codes = 32;
        /// How long a code opens a session: an address never opened does
        /// not open the pages next week.
        std::chrono::milliseconds codeLife = std::chrono::hours(1);
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

    /// `database`: a SQLite file's path or a PostgreSQL URI.
    explicit AdminSessions(std::string database) : AdminSessions(std::move(database), Limits()) {}
    AdminSessions(std::string database, Limits limits, const Clock& clock = Clock::system());

    /// A new one-time code for a sign-in address, good for `Limits::codeLife`;
    /// the database keeps only its digest. Throws StoreError.
    std::string mint();

    /// The live session the request's cookie names; it counts as used now.
    /// Throws StoreError when the database cannot be read.
    std::optional<Session> find(const WebRequest& request);

    /// Trades the code in the request's query for a new session, once: the
    /// value of the Set-Cookie header that names it, or nullopt when the
    /// code was used, has expired or was never made. When the sessions are
    /// as many as the limit, the one unused longest goes.
    std::optional<std::string> start(const WebRequest& request);

    /// Ends `session`: its cookie opens nothing from now on. The value of the
    /// Set-Cookie header that makes the browser forget it.
    std::string end(const Session& session);

    /// Whether a POST of `session` may act: from this site's own origin (as
    /// the request's scheme says the browser reached it) or from none, and
    /// with the session's CSRF token in its form.
    static PostCheck checkPost(const WebRequest& request, const Session& session);

private:
    const std::string database_;
    const Limits limits_;
    const Clock& clock_;
};

} // namespace pelvoran::server
