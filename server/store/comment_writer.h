#pragma once

#include "server/store/store.h"
#include "server/support/clock.h"
#include "server/support/worker.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// Commits comments on a thread of its own. Comments that arrive while a
/// commit runs are committed together in the next transaction, so a burst
/// costs one sync to disk rather than one each. `done` learns, once the
/// transaction has ended, whether the comment is durable, and its number
/// when its reply key was kept with it (0 otherwise).
///
/// On PostgreSQL, whatever the database does, a comment is answered within
/// storeDeadline(busyTimeout) + kQueueGrace + kCancelAnswer of its
/// arrival: a transaction (the connection made again, BEGIN, the inserts,
/// COMMIT) is given storeDeadline(busyTimeout) from its start, and ends no
/// later than kQueueGrace after that span from its oldest comment's
/// arrival; a comment whose span ran out while it waited behind another
/// transaction is answered "not stored" without being sent.
class CommentWriter {
public:
    using Done = std::function<void(bool stored, std::int64_t number)>;

    /// `committed` runs on the writer's thread after each transaction that
    /// stored comments (the notifier's wake-up); it must not block. `clock`
    /// (the daemon's) tells how long an uncertain commit is remembered.
    explicit CommentWriter(const std::string& databasePath,
                           std::chrono::milliseconds busyTimeout = kBusyTimeout,
                           std::function<void()> committed = {},
                           const Clock& clock = Clock::system());
    ~CommentWriter();
    CommentWriter(const CommentWriter&) = delete;
    CommentWriter& operator=(const CommentWriter&) = delete;

    /// False once closed: then `done` is never called.
    bool submit(NewComment comment, Done done);

    /// Takes no more comments and returns once every one taken is answered.
    void close();

    /// Transactions run so far.
    std::size_t commits() const;

    /// Comments taken that no transaction has begun to store yet.
    std::size_t waiting() const;

    /// The transactions that failed, their comments, and why the last failed.
    struct Failures {
        std::size_t transactions = 0;
        std::size_t comments = 0;
        std::string lastReason;
    };
    /// The failures since the last call, for the log's line a minute: on a
    /// full disk every comment fails, and a line each would flood the log.
    Failures takeFailures();

    /// Why the last transaction failed, in words anyone may read
    /// (StoreError::said); nullopt when none has, or when one after it
    /// stored its comments.
    std::optional<std::string> lastFailure() const;

private:
    struct Item {
        NewComment comment;
        Done done;
        std::chrono::steady_clock::time_point arrived;
    };
    /// How long, beyond the busy timeout, a comment may have waited for the
    /// transaction before its own: what it may still be given.
    static constexpr std::chrono::milliseconds kQueueGrace{500};
    static constexpr std::size_t kMaxBatch = 512;
    /// A comment of a commit whose outcome was uncertain, remembered so
    /// that the same body with the same reply key from the same client,
    /// sent again within kUncertainKept, is answered as stored (with its
    /// number) when it is there, not stored twice.
    struct Uncertain {
        std::string client;
        std::string raw;
        std::string replyKey;
        std::chrono::sys_seconds received;
        Clock::TimePoint failed;
        std::int64_t session; // UncertainCommit::session
    };
    static constexpr std::chrono::minutes kUncertainKept{10};
    /// And no more than this many, the oldest forgotten first: memory stays
    /// bounded through a long outage.
    static constexpr std::size_t kUncertainMost = 10000;

    /// What storedBefore took out of a batch.
    struct Before {
        std::vector<std::pair<Item, std::int64_t>> stored; // by an uncertain commit, numbered
        std::vector<Item> unknown; // the database could not be asked: still remembered
        std::string why;           // why it could not, for the log
        std::string said;          // and for /healthz
    };
    /// Takes out of `batch` the items an uncertain commit may have stored,
    /// once the database is asked: those it stored, and those it could not
    /// be asked about (answered "not stored", and not stored again).
    Before storedBefore(std::vector<Item>& batch);
    /// Takes out of `batch` the items that waited too long to be sent: on
    /// PostgreSQL, those whose span (the transaction's deadline and
    /// kQueueGrace) ran out before their transaction could begin.
    std::vector<Item> tooLate(std::vector<Item>& batch,
                              std::chrono::steady_clock::time_point now) const;

    void run(Worker& self);

    Database db_;
    const std::chrono::milliseconds deadline_; // a transaction's span
    const std::function<void()> committed_;
    const Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<Item> queue_;
    std::size_t commits_ = 0;
    Failures failures_;
    std::deque<Uncertain> uncertain_; // the writer's thread's alone
    std::optional<std::string> lastFailure_;
    bool busy_ = true; // until the thread first waits
    bool closed_ = false;
    Worker worker_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
