#pragma once

#include "server/engine/store_time.h"
#include "server/store/comment_store.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

class Connection;

enum class NotifyKind { Webhook, Email };

/// What a publisher reads for a kind of recipient.
std::string kindText(NotifyKind kind);

/// Someone told of each new comment, and how sending to them goes.
struct Recipient {
    std::int64_t id = 0;
    NotifyKind kind = NotifyKind::Webhook;
    std::string address;                    // the webhook's URL or the e-mail address
    std::string smtp;                       // e-mail: the SMTP server's URL
    std::string user;                       // e-mail: the SMTP user, if any
    std::string secret;                     // the webhook's key or the SMTP password; never shown
    std::string caFile;                     // e-mail: a private CA's certificates
    bool flagged = false;                   // told of comments flagged as a bot's too
    std::chrono::sys_seconds lastSuccess{}; // the epoch: never
    std::string lastError;
    std::chrono::sys_seconds lastErrorAt{};
    std::int64_t failures = 0; // failed tries in a row
    /// When the failures in a row began; the epoch: none.
    std::chrono::sys_seconds failingSince{};
    std::int64_t givenUp = 0; // notifications dropped after a day of failures
    std::int64_t pending = 0; // notifications waiting in the outbox
};

/// A notification due: the comment, to whom, and its history.
struct OutboxEntry {
    StoredComment comment;
    Recipient recipient;
    std::int64_t attempts = 0;
    MillisTime queued{};
};

/// The notifications of new comments: their recipients and the outbox of
/// those not yet delivered (a comment's own are queued by CommentStore's
/// insert, in its transaction).
class OutboxStore {
public:
    explicit OutboxStore(Connection& connection) : connection_(connection) {}

    std::int64_t addRecipient(const Recipient& r);
    /// False when there is no such recipient; its queued notifications go too.
    bool removeRecipient(std::int64_t id);
    /// The recipients, with their outbox counts.
    std::vector<Recipient> recipients();
    std::optional<Recipient> recipient(std::int64_t id);

    /// Up to `limit` notifications due at `now`, the oldest first, but none
    /// for the recipients `skipped`.
    std::vector<OutboxEntry> due(MillisTime now, std::int64_t limit,
                                 const std::vector<std::int64_t>& skipped = {});
    /// The same, on PostgreSQL claimed for this server until `until`: no
    /// other server on the database is handed them meanwhile (one that
    /// stops before its tries are recorded leaves them to be sent again
    /// then, with the same comment number), and rows another transaction
    /// holds are skipped. On SQLite, whose file one server alone serves,
    /// due() itself.
    std::vector<OutboxEntry> claim(MillisTime now, std::int64_t limit,
                                   const std::vector<std::int64_t>& skipped, MillisTime until);
    /// Hands back claimed notifications that were not tried: due at `now`.
    void unclaim(const std::vector<OutboxEntry>& entries, MillisTime now);
    /// When the next notification is due, if any is queued for a recipient
    /// but those `skipped`.
    std::optional<MillisTime> nextDue(const std::vector<std::int64_t>& skipped = {});

    /// What the tries of one round came to, in one transaction: a delivered
    /// one leaves the outbox; a failed one is due again at `retryAt` (and
    /// the recipient's other ones no sooner), or dropped when `giveUp`. A
    /// delivery clears the recipient's failures and last error.
    struct TryResult {
        std::int64_t comment = 0;
        std::int64_t recipient = 0;
        std::optional<std::string> error;
        MillisTime retryAt{};
        bool giveUp = false;
    };
    /// A recipient's failures in a row, begun or ended by what was recorded.
    struct Streak {
        std::int64_t recipient = 0;
        bool ended = false;               // by a delivery; otherwise a failure began it
        std::chrono::sys_seconds since{}; // when it began
        std::int64_t failures = 0;        // ended: its failed tries
        std::int64_t waiting = 0;         // ended: the notifications queued for it then
    };
    /// The streaks the results, tried at `now`, began or ended, in their order.
    std::vector<Streak> recordTries(const std::vector<TryResult>& results,
                                    std::chrono::sys_seconds now);
    /// The outcome of a test send to `recipient` at `now`, shown like a real
    /// one: a delivery ends its streak (returned, when there was one) and
    /// makes its held-back notifications due now; a failure is its last error.
    std::optional<Streak> recordTest(std::int64_t recipient,
                                     const std::optional<std::string>& error,
                                     std::chrono::sys_seconds now);

    /// The notifications waiting, and when the oldest of them was queued
    /// (the epoch when none waits).
    struct Summary {
        std::int64_t pending = 0;
        MillisTime oldestQueued{};
    };
    Summary summary();

private:
    std::vector<OutboxEntry> dueRows(MillisTime now, std::int64_t limit,
                                     const std::vector<std::int64_t>& skipped, bool claiming);
    /// Makes `entries` due at `due`, in the transaction open.
    void setDue(const std::vector<OutboxEntry>& entries, MillisTime due);

    Connection& connection_;
};

} // namespace pelvoran::server
