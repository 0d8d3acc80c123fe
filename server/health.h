#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace pelvoran::server {

class Database;

/// Whether comments can be stored now: the state directory and the database
/// file writable by this process, room on the file system for a comment,
/// and a write transaction able to begin.
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

    bool writable();

private:
    bool look();

    const std::string stateDir_;
    const std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::unique_ptr<Database> db_; // opened at the first look, again after a failure
    std::chrono::steady_clock::time_point lookedAt_;
    bool looked_ = false;
    std::atomic<bool> writable_ = false;
};

} // namespace pelvoran::server
