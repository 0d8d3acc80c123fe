#include "server/store/outbox_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"
#include "server/store/store_texts.h"

namespace pelvoran::server {
namespace {

const char* kindName(NotifyKind kind) {
    return kind == NotifyKind::Email ? "email" : "webhook";
}

constexpr char kRecipientColumns[] =
    "r.id, r.kind, r.address, r.smtp, r.\"user\", r.secret, r.ca_file, r.flagged, r.last_success, "
    "r.last_error, r.last_error_at, r.failures, r.given_up, r.failing_since";
constexpr int kRecipientColumnCount = 14;

/// The recipient in the columns kRecipientColumns puts at `at` and on.
Recipient readRecipient(Statement& s, int at) {
    Recipient r;
    r.id = s.integer(at);
    r.kind = s.text(at + 1) == "email" ? NotifyKind::Email : NotifyKind::Webhook;
    r.address = s.text(at + 2);
    r.smtp = s.text(at + 3);
    r.user = s.text(at + 4);
    r.secret = s.text(at + 5);
    r.caFile = s.text(at + 6);
    r.flagged = s.integer(at + 7) != 0;
    r.lastSuccess = s.seconds(at + 8);
    r.lastError = s.text(at + 9);
    r.lastErrorAt = s.seconds(at + 10);
    r.failures = s.integer(at + 11);
    r.givenUp = s.integer(at + 12);
    r.failingSince = s.seconds(at + 13);
    return r;
}

/// " AND <column> NOT IN (?N, ?N+1, ...)", a numbered parameter for each of
/// `ids` from `first` (N) on; empty for none.
std::string notIn(const char* column, std::size_t ids, int first) {
    if (ids == 0)
        return "";
    std::string out = std::string(" AND ") + column + " NOT IN (";
    for (std::size_t i = 0; i < ids; ++i)
        out += (i == 0 ? "?" : ", ?") + std::to_string(first + static_cast<int>(i));
    return out + ")";
}

void bindAll(Statement& s, const std::vector<std::int64_t>& ids, int first) {
    for (std::size_t i = 0; i < ids.size(); ++i)
        s.bind(first + static_cast<int>(i), ids[i]);
}

/// A recipient's failures in a row, read before a try's result is written.
class StreakState {
public:
    explicit StreakState(const Connection& db)
        : streak_(db, "SELECT failures, failing_since FROM notify_recipients WHERE id = ?"),
          waiting_(db, "SELECT count(*) FROM notify_outbox WHERE recipient = ?") {}

    /// The streak that a delivery (`delivered`) or a failure of `recipient`
    /// at `now` ends or begins, if any.
    std::optional<OutboxStore::Streak> change(std::int64_t recipient, bool delivered,
                                              std::chrono::sys_seconds now) {
        streak_.bind(1, recipient);
        std::optional<OutboxStore::Streak> out;
        if (streak_.step()) {
            const std::int64_t failures = streak_.integer(0);
            if (delivered && failures > 0) {
                waiting_.bind(1, recipient);
                waiting_.step();
                out = OutboxStore::Streak{recipient, true, streak_.seconds(1), failures,
                                          waiting_.integer(0)};
                waiting_.reset();
            } else if (!delivered && failures == 0) {
                out = OutboxStore::Streak{recipient, false, now, 0, 0};
            }
        }
        streak_.reset();
        return out;
    }

private:
    Statement streak_;
    Statement waiting_;
};

/// Clears a recipient's failures: ?1 the time of the delivery, ?2 the recipient.
constexpr char kDelivered[] = "UPDATE notify_recipients SET last_success = ?1, failures = 0, "
                              "failing_since = 0, last_error = '', last_error_at = 0 WHERE id = ?2";

} // namespace

std::string kindText(NotifyKind kind) {
    return kind == NotifyKind::Email ? store_text::kEmail : "webhook";
}

std::int64_t OutboxStore::addRecipient(const Recipient& r) {
    Statement s(connection_,
                "INSERT INTO notify_recipients (kind, address, smtp, \"user\", secret, ca_file, "
                "flagged) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id");
    s.bind(1, std::string(kindName(r.kind)));
    s.bind(2, r.address);
    s.bind(3, r.smtp);
    s.bind(4, r.user);
    s.bindBlob(5, r.secret);
    s.bind(6, r.caFile);
    s.bind(7, std::int64_t{r.flagged});
    s.step();
    return s.integer(0);
}

bool OutboxStore::removeRecipient(std::int64_t id) {
    Statement s(connection_, "DELETE FROM notify_recipients WHERE id = ?");
    s.bind(1, id);
    s.step();
    return connection_.changes() == 1;
}

std::vector<Recipient> OutboxStore::recipients() {
    Statement s(connection_, std::string("SELECT ") + kRecipientColumns +
                                 ", (SELECT count(*) FROM notify_outbox o WHERE o.recipient = "
                                 "r.id) FROM notify_recipients r ORDER BY r.id");
    std::vector<Recipient> out;
    while (s.step()) {
        out.push_back(readRecipient(s, 0));
        out.back().pending = s.integer(kRecipientColumnCount);
    }
    return out;
}

std::optional<Recipient> OutboxStore::recipient(std::int64_t id) {
    for (auto& r : recipients())
        if (r.id == id)
            return std::move(r);
    return std::nullopt;
}

std::vector<OutboxEntry> OutboxStore::due(MillisTime now, std::int64_t limit,
                                          const std::vector<std::int64_t>& skipped) {
    return dueRows(now, limit, skipped, false);
}

std::vector<OutboxEntry> OutboxStore::claim(MillisTime now, std::int64_t limit,
                                            const std::vector<std::int64_t>& skipped,
                                            MillisTime until) {
    // One server alone on the database (SQLite's file, under the state
    // directory's lock): nothing to claim against.
    if (connection_.claimRows("o").empty())
        return dueRows(now, limit, skipped, false);
    Transaction transaction(connection_);
    std::vector<OutboxEntry> entries = dueRows(now, limit, skipped, true);
    setDue(entries, until);
    transaction.commit();
    return entries;
}

void OutboxStore::unclaim(const std::vector<OutboxEntry>& entries, MillisTime now) {
    if (entries.empty() || connection_.claimRows("o").empty())
        return;
    Transaction transaction(connection_);
    setDue(entries, now);
    transaction.commit();
}

void OutboxStore::setDue(const std::vector<OutboxEntry>& entries, MillisTime due) {
    Statement s(connection_, "UPDATE notify_outbox SET due = ? WHERE comment = ? AND "
                             "recipient = ?");
    for (const OutboxEntry& e : entries) {
        s.bind(1, due);
        s.bind(2, e.comment.id);
        s.bind(3, e.recipient.id);
        s.step();
        s.reset();
    }
}

std::vector<OutboxEntry> OutboxStore::dueRows(MillisTime now, std::int64_t limit,
                                              const std::vector<std::int64_t>& skipped,
                                              bool claiming) {
    Statement s(connection_,
                (std::string("SELECT o.attempts, o.queued, c.id, c.received, c.text, "
                             "c.source, c.read, c.flagged, c.held, ") +
                 kRecipientColumns +
                 " FROM notify_outbox o JOIN comments c ON c.id = o.comment "
                 "JOIN notify_recipients r ON r.id = o.recipient WHERE o.due <= ?1" +
                 notIn("o.recipient", skipped.size(), 3) + " ORDER BY o.due, o.comment LIMIT ?2" +
                 (claiming ? connection_.claimRows("o") : "")));
    s.bind(1, now);
    s.bind(2, limit);
    bindAll(s, skipped, 3);
    std::vector<OutboxEntry> out;
    while (s.step()) {
        OutboxEntry e;
        e.attempts = s.integer(0);
        e.queued = s.millis(1);
        e.comment = {s.integer(2),      s.seconds(3),      s.utf16(4), s.text(5),
                     s.integer(6) != 0, s.integer(7) != 0, s.text(8)};
        e.recipient = readRecipient(s, 9);
        out.push_back(std::move(e));
    }
    return out;
}

std::optional<MillisTime> OutboxStore::nextDue(const std::vector<std::int64_t>& skipped) {
    Statement s(connection_, "SELECT coalesce(min(due), -1) FROM notify_outbox WHERE 1 = 1" +
                                 notIn("recipient", skipped.size(), 1));
    bindAll(s, skipped, 1);
    s.step();
    if (s.integer(0) < 0)
        return std::nullopt;
    return s.millis(0);
}

std::vector<OutboxStore::Streak> OutboxStore::recordTries(const std::vector<TryResult>& results,
                                                          std::chrono::sys_seconds now) {
    std::vector<Streak> streaks;
    if (results.empty())
        return streaks;
    Transaction transaction(connection_);
    StreakState state(connection_);
    Statement done(connection_, "DELETE FROM notify_outbox WHERE comment = ? AND recipient = ?");
    Statement retry(connection_, "UPDATE notify_outbox SET attempts = attempts + 1, due = ? "
                                 "WHERE comment = ? AND recipient = ?");
    // A recipient that failed is not tried again, for any comment, before
    // its delay is over: one that is down costs one try per delay.
    Statement holdOthers(connection_,
                         "UPDATE notify_outbox SET due = CASE WHEN due > ?1 THEN due ELSE ?1 END "
                         "WHERE recipient = ?2");
    Statement ok(connection_, kDelivered);
    Statement failed(connection_,
                     "UPDATE notify_recipients SET last_error = ?1, last_error_at = ?2, "
                     "failing_since = CASE WHEN failures = 0 OR failing_since = 0 "
                     "THEN ?2 ELSE failing_since END, failures = failures + 1, "
                     "given_up = given_up + ?3 WHERE id = ?4");
    for (const TryResult& t : results) {
        if (auto streak = state.change(t.recipient, !t.error, now))
            streaks.push_back(*streak);
        if (!t.error || t.giveUp) {
            done.bind(1, t.comment);
            done.bind(2, t.recipient);
            done.step();
            done.reset();
        } else {
            retry.bind(1, t.retryAt);
            retry.bind(2, t.comment);
            retry.bind(3, t.recipient);
            retry.step();
            retry.reset();
            holdOthers.bind(1, t.retryAt);
            holdOthers.bind(2, t.recipient);
            holdOthers.step();
            holdOthers.reset();
        }
        if (!t.error) {
            ok.bind(1, now);
            ok.bind(2, t.recipient);
            ok.step();
            ok.reset();
        } else {
            failed.bind(1, *t.error);
            failed.bind(2, now);
            failed.bind(3, std::int64_t{t.giveUp});
            failed.bind(4, t.recipient);
            failed.step();
            failed.reset();
        }
    }
    transaction.commit();
    return streaks;
}

std::optional<OutboxStore::Streak> OutboxStore::recordTest(std::int64_t recipient,
                                                           const std::optional<std::string>& error,
                                                           std::chrono::sys_seconds now) {
    if (error) {
        Statement s(connection_, "UPDATE notify_recipients SET last_error = ?, last_error_at = ? "
                                 "WHERE id = ?");
        s.bind(1, *error);
        s.bind(2, now);
        s.bind(3, recipient);
        s.step();
        return std::nullopt;
    }
    Transaction transaction(connection_);
    const auto streak = StreakState(connection_).change(recipient, true, now);
    Statement ok(connection_, kDelivered);
    ok.bind(1, now);
    ok.bind(2, recipient);
    ok.step();
    // It answers again: what its failures held back need not wait out the delay.
    Statement release(connection_,
                      "UPDATE notify_outbox SET due = CASE WHEN due < ?1 THEN due ELSE ?1 END "
                      "WHERE recipient = ?2");
    release.bind(1, MillisTime(now));
    release.bind(2, recipient);
    release.step();
    transaction.commit();
    return streak;
}

OutboxStore::Summary OutboxStore::summary() {
    Statement s(connection_, "SELECT count(*), coalesce(min(queued), 0) FROM notify_outbox");
    s.step();
    return {s.integer(0), s.millis(1)};
}

} // namespace pelvoran::server
