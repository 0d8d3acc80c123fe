#pragma once

#include "server/admin_session.h"
#include "server/routes.h"
#include "server/use_counter.h"
#include "server/web.h"

#include <string>

namespace pelvoran::server {

/// Where serve last opened the admin pages, for `admin-url`.
inline constexpr char kAdminAddressFile[] = "admin-address";

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
    WebResponse startSession(const WebRequest& request);
    WebResponse route(const WebRequest& request, Route route, const std::string& csrf);
    WebResponse comments(const WebRequest& request, const std::string& csrf);
    WebResponse mark(const WebRequest& request);
    WebResponse exportComments(bool csv);
    WebResponse release(const WebRequest& request, const std::string& csrf);
    WebResponse use();

    const std::string stateDir_;
    UseCounter& use_;
    AdminSessions sessions_;
};

} // namespace pelvoran::server
