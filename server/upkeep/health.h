#pragma once

#include "server/store/database.h"
#include "server/support/clock.h"
#include "server/support/worker.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pelvoran::server {

/// What /healthz answers: whether a comment could be stored now, and the
/// text that says so.
struct HealthReport {
    bool ok = false;
    /// "ok", and a second line when room runs low; otherwise why not.
    std::string text;
};

/// Why comments on the PostgreSQL primary whose standbys are `s`, none of
/// them connected, are safe on one machine only, for the log and /healthz.
std::string onOneMachine(const SynchronousStandbys& s);

/// Whether comments can be stored now: the state directory and the database
/// file writable by this process, a write transaction able to begin, and
/// the last commit of comments not failed. On PostgreSQL, a primary that
/// commits to no connected synchronous standby is said
/// (upkeep_text::onOneMachineLine), and is no failure: comments are still
/// stored, on one machine. Low room on
/// the file system is said, but is no failure of its own: a full disk fails
/// a commit.
///
/// A probe looks once a `period` of its own thread (startProbe), each look
/// on PostgreSQL within the deadline a comment's transaction has
/// (storeDeadline of `busyTimeout`); /healthz answers from the last look,
/// with its age, and never waits on the database. A look older than
/// staleAfter() (a probe that hangs: a disk that does not answer) is said as
/// a database that does not answer. What is said names nothing of where the
/// database is; the log has the details.
class DatabaseHealth {
public:
    /// `database`: a PostgreSQL URI, or empty for the state directory's
    /// file. The age of a look is read on `clock` (the daemon's).
    explicit DatabaseHealth(std::string stateDir,
                            std::chrono::milliseconds period = std::chrono::seconds(1),
                            std::string database = "", const Clock& clock = Clock::system(),
                            std::chrono::milliseconds busyTimeout = kBusyTimeout);
    ~DatabaseHealth();
    DatabaseHealth(const DatabaseHealth&) = delete;
    DatabaseHealth& operator=(const DatabaseHealth&) = delete;

    /// Looks now, and keeps what it saw with the clock's time: the probe's
    /// round, or a test's. A failure is logged, with its details, when it
    /// is new, and so is the return to health.
    void lookNow();
    /// Looks once a period from now on, on a thread of its own, until the
    /// object goes.
    void startProbe();

    /// `failedCommit`: why the comment writer's last transaction failed, when
    /// none has stored comments since (CommentWriter::lastFailure). From the
    /// last look alone.
    HealthReport report(const std::optional<std::string>& failedCommit) const;

    /// How old the last look may be before the database counts as one that
    /// does not answer: three periods, and the longest a look may take.
    std::chrono::milliseconds staleAfter() const;

private:
    struct Look {
        /// Why no comment could be stored, as anyone may read; empty: it could.
        std::string unwritable;
        /// The same for the log: where, and the database's own words.
        std::string detail;
        std::optional<std::uint64_t> lowRoom;        // the bytes left, when few
        std::optional<SynchronousStandbys> standbys; // PostgreSQL's
    };
    Look look();

    const std::string stateDir_;
    const std::chrono::milliseconds period_;
    const std::string database_;
    const Clock& clock_;
    const std::chrono::milliseconds deadline_; // a look's, on PostgreSQL
    std::mutex looking_;                       // one look at a time
    std::unique_ptr<Database> db_; // opened at the first look; on SQLite, again after a failure
    std::string logged_;           // the failure last logged; empty: none
    mutable std::mutex lastMutex_;
    Look last_;
    std::optional<Clock::TimePoint> lookedAt_; // when the last look began; none: none yet
    std::optional<Worker> probe_;              // last: it goes first
};

} // namespace pelvoran::server
