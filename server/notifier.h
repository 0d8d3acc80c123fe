#pragma once

#include "server/notify.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pelvoran::server {

class Database;

/// Sends the outbox's notifications on a thread and a connection of its
/// own: woken when the writer commits comments and at least once a second
/// (recipients the command line added meanwhile are found then), it sends
/// those due one at a time and records each round's results in one
/// transaction. No lock is held while a send runs, and the comment path
/// never waits for it.
class Notifier {
public:
    struct Settings {
        std::string adminBase; // --admin-base-url
        RetrySchedule retries;
        /// Sends tried in one round before the results are written.
        std::int64_t roundSize = 256;
    };
    Notifier(const std::string& databasePath, Settings settings);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    /// Comments were committed: look at the outbox now. Never blocks long.
    void wake();

private:
    void run();
    /// Sends what is due; whether a full round was sent (more may be due).
    bool round();

    const Settings settings_;
    std::unique_ptr<Database> db_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stopping_ = false;
    std::atomic<bool> abandon_{false}; // ends a send under way at the end
    std::thread thread_;               // last: starts once the rest is ready
};

} // namespace pelvoran::server
