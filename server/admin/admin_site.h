#pragma once

#include "server/admin/admin_session.h"
#include "server/http/routes.h"
#include "server/http/web.h"
#include "server/store/field_counter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>

namespace pelvoran::server {

class Metrics;
struct Recipient;

/// The command that prints the admin address, as the publisher types it on
/// this machine: the state directory `shown` by its real path, and with sudo
/// when it belongs to `owner`, a system user (or root), not a person.
std::string adminUrlCommand(const std::string& shown, uid_t owner);

/// The publisher's pages: comments, the release, the use. Every request
/// needs a session, which the one-time code of a sign-in address opens
/// (admin-url prints one); every form carries a CSRF token, and a POST from
/// another origin is refused. /metrics takes a token of its own as a bearer
/// token, for a monitor that has no session: it opens no page, and no code
/// opens /metrics.
class AdminSite {
public:
    using Later = std::function<void(WebResponse)>;

    /// `signIn` is the command a page that needs a session shows.
    /// `adminBase` is where a browser reaches these pages (--admin-base-url).
    /// `metricsToken` opens /metrics; an empty one opens it to nobody.
    /// `database`: a PostgreSQL URI, or empty for the state directory's file.
    /// Sessions live and end by `clock` (the daemon's), and the use page's
    /// today is its day.
    AdminSite(std::string stateDir, FieldCounter& field, const Metrics& metrics, std::string signIn,
              std::string adminBase = "", std::string metricsToken = "", std::string database = "",
              const Clock& clock = Clock::system());

    /// Answers a request to the admin listener that the route table sent to
    /// `route`: now, or (nullopt) later through `later`, called once from
    /// another thread, when the answer waits for a test send.
    std::optional<WebResponse> handle(const WebRequest& request, Route route, Later later);
    /// Whether the file form of the release page, whose head `request` is,
    /// may send its body: a session, and the form's CSRF token in the
    /// address (the body is not read yet); the refusal, or nullopt.
    std::optional<WebResponse> admitUpload(const WebRequest& request);
    /// The same, waiting for an answer that comes later.
    WebResponse handle(const WebRequest& request, Route route);

    /// Ends the test sends under way soon and waits until they are answered;
    /// none starts after it.
    void finishTestSends() { tests_.finish(); }

private:
    /// The request's session, into `session`; or the answer to a request
    /// without one (the sign-in page), or when the store cannot be asked.
    std::optional<WebResponse> findSession(const WebRequest& request,
                                           std::optional<AdminSessions::Session>& session);
    /// The notifications' test sends under way, each on a thread of its own
    /// so that the listener answers meanwhile; one per recipient at most.
    class TestSends {
    public:
        ~TestSends() { finish(); }
        /// Runs `send` for `recipient` on a thread of its own; false when one
        /// runs for it already, or the end has begun. `send` gets the flag
        /// that asks it to end soon.
        bool start(std::int64_t recipient,
                   std::function<void(const std::atomic<bool>& abandon)> send);
        void finish();

    private:
        std::mutex mutex_;
        bool finished_ = false;
        std::set<std::int64_t> running_;
        std::map<std::int64_t, std::thread> threads_; // the latest of each recipient
        std::atomic<bool> abandon_{false};
    };

    WebResponse startSession(const WebRequest& request);
    std::optional<WebResponse> route(const WebRequest& request, Route route,
                                     const std::string& csrf, Later& later);
    /// `r` with the banners of the recipients failing for an hour and of
    /// the comments held, when it is a page.
    WebResponse withBanners(WebResponse r);
    WebResponse comments(const WebRequest& request, const std::string& csrf);
    WebResponse mark(const WebRequest& request);
    WebResponse markAllRead();
    WebResponse remove(const WebRequest& request, const std::string& csrf);
    WebResponse approve(const WebRequest& request);
    /// POST /comments/answer and /comments/answer/withdraw: the comment's
    /// page again, saying what was done or why not.
    WebResponse answer(const WebRequest& request, const std::string& csrf, bool withdraw);
    WebResponse exportComments(bool csv);
    WebResponse release(const WebRequest& request, const std::string& csrf);
    WebResponse republish(const WebRequest& request, const std::string& csrf);
    WebResponse audit(const WebRequest& request);
    WebResponse use();
    // The notifications' page and the comment a notification links to
    // (admin_notify.cpp).
    WebResponse oneComment(const WebRequest& request, const std::string& csrf);
    std::optional<WebResponse> notifications(const WebRequest& request, const std::string& csrf,
                                             Later& later);
    /// Sends a test to `recipient`; the page says how it went, through `later`.
    std::optional<WebResponse> testSend(const Recipient& recipient, const std::string& csrf,
                                        Later& later);
    WebResponse removeRecipient(const WebRequest& request, const std::string& csrf);
    WebResponse metrics(const WebRequest& request);

    const std::string stateDir_;
    const std::string database_; // a file's path or a PostgreSQL URI
    FieldCounter& field_;
    const Metrics& metrics_;
    const std::string signIn_;
    const std::string adminBase_;
    const std::string metricsToken_;
    const Clock& clock_;
    AdminSessions sessions_;
    TestSends tests_; // last: its threads use the rest until it is gone
};

} // namespace pelvoran::server
