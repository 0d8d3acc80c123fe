#pragma once

#include "server/admin_session.h"
#include "server/routes.h"
#include "server/use_counter.h"
#include "server/web.h"

#include <string>
#include <sys/types.h>

namespace pelvoran::server {

/// Where serve last opened the admin pages, for `admin-url`.
inline constexpr char kAdminAddressFile[] = "admin-address";

class Metrics;

/// The command that prints the admin address, as the publisher types it on
/// this machine: the state directory `shown` by its real path, and with sudo
/// when it belongs to `owner`, a system user (or root), not a person.
std::string adminUrlCommand(const std::string& shown, uid_t owner);

/// The publisher's pages: comments, the release, the use. Every request
/// needs a session, which the token in the admin address opens; every form
/// carries a CSRF token, and a POST from another origin is refused. /metrics
/// takes a token of its own as a bearer token, for a monitor that has no
/// session: neither token opens what the other does.
class AdminSite {
public:
    /// `signIn` is the command a page that needs a session shows.
    /// `adminBase` is where a browser reaches these pages (--admin-base-url).
    /// `metricsToken` opens /metrics; an empty one opens it to nobody.
    AdminSite(std::string stateDir, std::string token, UseCounter& use, const Metrics& metrics,
              std::string signIn, std::string adminBase = "", std::string metricsToken = "");

    /// Answers a request to the admin listener that the route table sent to
    /// `route`.
    WebResponse handle(const WebRequest& request, Route route);

private:
    WebResponse startSession(const WebRequest& request);
    WebResponse route(const WebRequest& request, Route route, const std::string& csrf);
    WebResponse comments(const WebRequest& request, const std::string& csrf);
    WebResponse mark(const WebRequest& request);
    WebResponse markAllRead();
    WebResponse remove(const WebRequest& request, const std::string& csrf);
    WebResponse exportComments(bool csv);
    WebResponse release(const WebRequest& request, const std::string& csrf);
    WebResponse republish(const WebRequest& request, const std::string& csrf);
    WebResponse audit(const WebRequest& request);
    WebResponse use();
    // The notifications' page and the comment a notification links to
    // (admin_notify.cpp).
    WebResponse oneComment(const WebRequest& request, const std::string& csrf);
    WebResponse notifications(const WebRequest& request, const std::string& csrf);
    WebResponse removeRecipient(const WebRequest& request, const std::string& csrf);
    WebResponse metrics(const WebRequest& request);

    const std::string stateDir_;
    UseCounter& use_;
    const Metrics& metrics_;
    const std::string signIn_;
    const std::string adminBase_;
    const std::string metricsToken_;
    AdminSessions sessions_;
};

} // namespace pelvoran::server
