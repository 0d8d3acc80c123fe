#pragma once

#include "server/http/limits.h"
#include "server/http/listener.h"
#include "server/notify/notify.h"
#include "server/store/database.h"
#include "server/store/download_store.h"
#include "server/support/clock.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// What serve is told on its command line, each default written here or,
/// where a part below needs it as well, named by that part's constant.
struct ServeOptions {
    std::string stateDir;
    /// The state directory's real path, for messages: stateDir is "." once
    /// serve works as the directory's owner from inside it. Empty: stateDir.
    std::string shownStateDir;
    /// The database: a PostgreSQL URI (--database), or empty for the
    /// state directory's SQLite file.
    std::string database;
    /// What the admin pages tell a browser without a session to run.
    std::string signInCommand = "pelvoran-server admin-url";
    /// The public listeners' addresses; the sockets systemd passes take
    /// their place.
    std::vector<Endpoint> listen{{"127.0.0.1", 8080}};
    Endpoint adminListen{"127.0.0.1", 8081};
    /// Where the lookup page and its files are on the public listeners, as
    /// a browser sees them: "/", or "/pelvoran/" behind a web server that
    /// passes that path on. The tools' two paths stay where they are.
    std::string publicPrefix = "/";
    /// Requests from this address name the client in X-Forwarded-For.
    std::optional<ClientAddress> trustedProxy;
    /// Comments one client (an IPv4 address, an IPv6 /64) may send in an
    /// hour, and their bytes as they arrived; 0 for no limit.
    unsigned commentsPerHour = 300;
    std::uint64_t commentBytesPerHour = 4 * 1024 * 1024;
    unsigned maxConnections = kDefaultMaxConnections;
    /// Connections one client may hold open (the trusted proxy: any number).
    unsigned connectionsPerClient = kDefaultConnectionsPerClient;
    /// A connection that sends nothing for this long is closed, and a file
    /// being sent whose client takes nothing for this long.
    unsigned idleSeconds = kDefaultIdleSeconds;
    /// Each request head must be in this long after the connection opened
    /// or its last answer was sent.
    std::chrono::milliseconds headTimeout = kDefaultHeadTimeout;
    /// A body must bring this many bytes a second (over 10 s); 0: any rate.
    std::uint64_t minBodyRate = kDefaultMinBodyRate;
    /// And be in this long after its head.
    std::chrono::milliseconds bodyTimeout = kDefaultBodyTimeout;
    /// How long a comment waits for the database (busy with another
    /// connection's transaction) before it is answered 503; on PostgreSQL,
    /// what a comment's transaction is given in all, at least 0.5 s
    /// (CommentWriter), and what /healthz's look is given.
    std::chrono::milliseconds busyTimeout = kBusyTimeout;
    /// Bytes of all comment bodies being received at once; one client may
    /// hold an eighth, one IPv6 /48 a quarter (at least 1 MiB each).
    std::uint64_t bodyBudget = kDefaultBodyBudget;
    /// The largest file the release page takes as an upload.
    std::uint64_t maxDownloadSize = kDefaultMaxDownloadSize;
    /// Where a browser reaches the admin pages (behind a proxy, as a
    /// notification's link gives them); empty: notifications carry no link.
    std::string adminBaseUrl;
    /// The wait after a notification's first failed try; the later ones
    /// double it (RetrySchedule).
    std::chrono::milliseconds notifyRetry = kDefaultFirstRetry;
};

/// The HOST:PORT a browser on this machine opens for a listener: a listener
/// on every address (0.0.0.0, [::]) is opened through loopback.
std::string browserAddress(const std::string& listening);

/// The server from its start to its end, without the process around it
/// (signals, the exit status, the descriptors' limit): serve() drives one on
/// the clock until SIGTERM, and a test drives one on listeners of its own.
class Daemon {
public:
    /// Whatever decides by time (the comments' hourly allowance, an
    /// uncertain commit's memory, the age of /healthz's looks, sessions, the
    /// notifications' retries, the daily backup, the minute's log lines)
    /// reads `clock`.
    explicit Daemon(ServeOptions options, const Clock& clock = Clock::system());
    /// Shuts down a daemon that started and was not shut down.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    /// Opens the state directory's data, answers the desktop tool on
    /// `publicSockets` and the publisher on `adminSocket`, writes the admin
    /// address for admin-url, then prints "listening on HOST:PORT" for each
    /// listener, the public ones first, and where the admin pages are. The
    /// public listeners share one set of limits, each crowded by its own
    /// connections. False when it cannot start, said in the log.
    bool start(std::vector<ListenSocket> publicSockets, ListenSocket adminSocket);

    /// The daemon's work, a few times a second (serve runs it on a thread
    /// of its own, beside the wait for the signal): picks up a newly
    /// published release; once a minute of the clock (from the first step
    /// on), writes out the use counts and logs the minute's refused and
    /// unsaved comments, a line each. Nothing before a start that succeeded.
    void step();
    /// From another thread than the step's, once the end has been asked
    /// for: the step under way waits on the database no longer than the
    /// busy timeout (at least kShortestDeadline) from now.
    void endStepSoon();

    /// Takes no new connection, lets the requests in flight finish (for up
    /// to five seconds), then stops: connections idle between requests
    /// close, and the use counts are written out. Once, after the start.
    /// Whatever the database does, each part waits on it for a bounded
    /// time: the comments for their own deadlines, the use counts for the
    /// busy timeout, the notifier as its end says, a backup not at all.
    void shutdown();

private:
    struct Parts;

    const ServeOptions options_;
    const Clock& clock_;
    std::unique_ptr<Parts> parts_;
    bool running_ = false;
};

/// Answers the desktop tool on `publicSockets` and the publisher on
/// `adminSocket` (a Daemon) until SIGTERM or SIGINT, then finishes the
/// requests in flight. Returns the exit status.
int serve(const ServeOptions& options, std::vector<ListenSocket> publicSockets,
          ListenSocket adminSocket);

} // namespace pelvoran::server
