#pragma once

#include "server/notify/notify.h"
#include "server/store/store.h"
#include "server/support/clock.h"
#include "server/support/worker.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelvoran::server {

class Metrics;

/// Sends the outbox's notifications, with a connection to the database of
/// its own: woken when the writer commits comments, when a send ends and at
/// least once a second (recipients the command line added meanwhile are
/// found then), it hands each recipient's due notifications, in the
/// outbox's order, to one of a few sender threads, so that a recipient that
/// never answers holds up no other. A sender stops at its recipient's first
/// failure; what it sent is written in one transaction, with whatever other
/// senders finished meanwhile. The first failure of a recipient and its
/// recovery go to the log. No lock is held while a send runs, and the
/// comment path never waits for it. When a notification is due, and when a
/// failed one is tried again, is by `clock`. At its end, a send under way is
/// cut short, and the database is waited for storeDeadline(kBusyTimeout)
/// at most (and kCancelAnswer more when it does not answer the cancel).
class Notifier {
public:
    struct Settings {
        std::string adminBase; // --admin-base-url
        RetrySchedule retries;
        /// Notifications handed out at a time; those of one recipient are
        /// sent before their results are written.
        std::int64_t roundSize = 256;
        /// On PostgreSQL, how long notifications handed out are this
        /// server's alone: one that stops before recording its tries (or
        /// whose claim's commit was lost in a failover) leaves them to the
        /// others, or itself, after this. Three sends at their longest
        /// (10 s each): a batch that takes longer may be sent twice, with
        /// the same comment number.
        std::chrono::milliseconds claim = std::chrono::seconds(30);
        /// Recipients sent to at once, each by a thread of its own.
        std::size_t senders = 8;
        /// Counts failed sends, when given.
        Metrics* metrics = nullptr;
    };
    Notifier(const std::string& databasePath, Settings settings,
             const Clock& clock = Clock::system());
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    /// Comments were committed: look at the outbox now. Never blocks long.
    void wake();

private:
    /// One recipient's notifications due, in the outbox's order.
    using Batch = std::vector<OutboxEntry>;
    /// What a sender made of a batch.
    struct Sent {
        Recipient recipient;
        std::vector<OutboxStore::TryResult> results;
    };

    void run(Worker& self);
    /// Sends the batches handed out, and wakes `handing` after each.
    void sender(Worker& self, Worker& handing);
    /// Hands the notifications due to recipients without a batch under way
    /// to the senders; when the next one is due for those that have none
    /// (nullopt: none is, or every sender is busy).
    std::optional<MillisTime> handOut();
    /// Sends `batch` in order, up to the first failure or the end.
    std::vector<OutboxStore::TryResult> send(const Batch& batch);
    /// Writes what the senders sent, and logs the streaks it began or ended.
    void record(const std::vector<Sent>& sent);

    const Settings settings_;
    const Clock& clock_;
    std::unique_ptr<Database> db_;
    std::mutex mutex_;
    std::deque<Batch> batches_;        // handed out, not yet taken by a sender
    std::set<std::int64_t> busy_;      // recipients with a batch handed out and not recorded
    std::vector<Sent> sent_;           // sent, not yet recorded
    std::atomic<bool> abandon_{false}; // ends the sends under way at the end
    std::vector<std::unique_ptr<Worker>> senders_; // the handing out's thread's alone
    /// The handing out: woken by comments, a batch sent, and the end.
    Worker thread_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
