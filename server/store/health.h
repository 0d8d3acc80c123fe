#pragma once

#include "server/store/database.h"
#include "server/support/clock.h"

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
/// commits to no connected synchronous standby is said ("仅一台机器"), and
/// is no failure: comments are still stored, on one machine. Low room on the file system is
/// said, but is no failure of its own: a full disk fails a commit.
/// Looked at once a `period` of `clock` (the daemon's) at most, however
/// often it is asked, so that a monitor may poll it every second; a
/// question that comes while another looks gets the last answer.
class DatabaseHealth {
public:
    /// `database`: a PostgreSQL URI, or empty for the state directory's file.
    explicit DatabaseHealth(std::string stateDir,
                            std::chrono::milliseconds period = std::chrono::seconds(1),
                            std::string database = "", const Clock& clock = Clock::system());
    ~DatabaseHealth();
    DatabaseHealth(const DatabaseHealth&) = delete;
    DatabaseHealth& operator=(const DatabaseHealth&) = delete;

    /// `failedCommit`: why the comment writer's last transaction failed, when
    /// none has stored comments since (CommentWriter::lastFailure).
    HealthReport report(const std::optional<std::string>& failedCommit);

private:
    struct Look {
        std::string unwritable;               // why no comment could be stored; empty: it could
        std::optional<std::uint64_t> lowRoom; // the bytes left, when few
        std::optional<SynchronousStandbys> standbys; // PostgreSQL's
    };
    Look look();

    const std::string stateDir_;
    const std::chrono::milliseconds period_;
    const std::string database_;
    const Clock& clock_;
    std::mutex looking_;           // one look at a time
    std::unique_ptr<Database> db_; // opened at the first look, again after a failure
    Clock::TimePoint lookedAt_;
    bool looked_ = false;
    std::mutex lastMutex_;
    Look last_{"还没有检查过", std::nullopt, std::nullopt};
};

} // namespace pelvoran::server
