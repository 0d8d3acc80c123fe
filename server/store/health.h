#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pelvoran::server {

class Database;

/// What /healthz answers: whether a comment could be stored now, and the
/// text that says so.
struct HealthReport {
    bool ok = false;
    /// "ok", and a second line when room runs low; otherwise why not.
    std::string text;
};

/// Whether comments can be stored now: the state directory and the database
/// file writable by this process, a write transaction able to begin, and
/// the last commit of comments not failed. Low room on the file system is
/// said, but is no failure of its own: a full disk fails a commit.
/// Looked at once a `period` at most, however often it is asked, so that a
/// monitor may poll it every second; a question that comes while another
/// looks gets the last answer.
class DatabaseHealth {
public:
    explicit DatabaseHealth(std::string stateDir,
                            std::chrono::milliseconds period = std::chrono::seconds(1));
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
    };
    Look look();

    const std::string stateDir_;
    const std::chrono::milliseconds period_;
    std::mutex looking_;           // one look at a time
    std::unique_ptr<Database> db_; // opened at the first look, again after a failure
    std::chrono::steady_clock::time_point lookedAt_;
    bool looked_ = false;
    std::mutex lastMutex_;
    Look last_{"还没有检查过", std::nullopt};
};

} // namespace pelvoran::server
