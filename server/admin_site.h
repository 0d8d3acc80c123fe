#pragma once

#include "server/routes.h"
#include "server/use_counter.h"
#include "server/web.h"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace pelvoran::server {

/// The file in the state directory that holds the admin pages' secret token.
inline constexpr char kAdminTokenFile[] = "admin-token";
/// Where serve last opened the admin pages, for `admin-url`.
inline constexpr char kAdminAddressFile[] = "admin-address";

/// The token of the state directory, made (mode 0600) when there is none.
std::string adminToken(const std::string& stateDir);

/// The publisher's pages: comments, the release, the use. Every request
/// needs a session, which the token in the admin address opens; every form
/// carries a CSRF token, and a POST from another origin is refused.
class AdminSite {
public:
    AdminSite(std::string stateDir, std::string token, UseCounter& use);

    /// Answers a request to the admin listener that the route table sent to
    /// `route`.
    WebResponse handle(const WebRequest& request, Route route);

private:
    struct Session {
        std::string csrf;
        std::chrono::steady_clock::time_point expires;
        std::chrono::steady_clock::time_point used; // last asked for
    };

    WebResponse route(const WebRequest& request, Route route, const std::string& csrf);
    WebResponse comments(const WebRequest& request, const std::string& csrf);
    WebResponse mark(const WebRequest& request);
    WebResponse exportComments(bool csv);
    WebResponse release(const WebRequest& request, const std::string& csrf);
    WebResponse use();
    /// The CSRF token of the session the request's cookie names.
    std::optional<std::string> sessionCsrf(const WebRequest& request);
    WebResponse startSession(const WebRequest& request);

    std::string database() const;

    const std::string stateDir_;
    const std::string token_;
    UseCounter& use_;
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
};

} // namespace pelvoran::server
