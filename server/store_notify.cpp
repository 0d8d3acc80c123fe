#include "server/store.h"

#include "server/sqlite_support.h"

namespace pelvoran::server {
namespace {

const char* kindName(NotifyKind kind) {
    return kind == NotifyKind::Email ? "email" : "webhook";
}

constexpr char kRecipientColumns[] =
    "r.id, r.kind, r.address, r.smtp, r.user, r.secret, r.ca_file, r.flagged, r.last_success, "
    "r.last_error, r.last_error_at, r.failures, r.given_up";

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
    r.lastSuccess = s.integer(at + 8);
    r.lastError = s.text(at + 9);
    r.lastErrorAt = s.integer(at + 10);
    r.failures = s.integer(at + 11);
    r.givenUp = s.integer(at + 12);
    return r;
}

} // namespace

std::int64_t Database::addRecipient(const Recipient& r) {
    Statement s(db_, "INSERT INTO notify_recipients (kind, address, smtp, user, secret, ca_file, "
                     "flagged) VALUES (?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, std::string(kindName(r.kind)));
    s.bind(2, r.address);
    s.bind(3, r.smtp);
    s.bind(4, r.user);
    s.bindBlob(5, r.secret);
    s.bind(6, r.caFile);
    s.bind(7, std::int64_t{r.flagged});
    s.step();
    return sqlite3_last_insert_rowid(db_);
}

bool Database::removeRecipient(std::int64_t id) {
    Statement s(db_, "DELETE FROM notify_recipients WHERE id = ?");
    s.bind(1, id);
    s.step();
    return sqlite3_changes(db_) == 1;
}

std::vector<Recipient> Database::recipients() {
    Statement s(db_, (std::string("SELECT ") + kRecipientColumns +
                      ", (SELECT count(*) FROM notify_outbox o WHERE o.recipient = r.id) "
                      "FROM notify_recipients r ORDER BY r.id")
                         .c_str());
    std::vector<Recipient> out;
    while (s.step()) {
        out.push_back(readRecipient(s, 0));
        out.back().pending = s.integer(13);
    }
    return out;
}

std::optional<Recipient> Database::recipient(std::int64_t id) {
    for (auto& r : recipients())
        if (r.id == id)
            return std::move(r);
    return std::nullopt;
}

std::vector<OutboxEntry> Database::dueNotifications(std::int64_t nowMs, std::int64_t limit) {
    Statement s(db_, (std::string("SELECT o.attempts, o.queued, c.id, c.received, c.text, "
                                  "c.source, c.read, c.flagged, ") +
                      kRecipientColumns +
                      " FROM notify_outbox o JOIN comments c ON c.id = o.comment "
                      "JOIN notify_recipients r ON r.id = o.recipient "
                      "WHERE o.due <= ? ORDER BY o.due, o.comment LIMIT ?")
                         .c_str());
    s.bind(1, nowMs);
    s.bind(2, limit);
    std::vector<OutboxEntry> out;
    while (s.step()) {
        OutboxEntry e;
        e.attempts = s.integer(0);
        e.queued = s.integer(1);
        e.comment = {s.integer(2), s.integer(3),      s.utf16(4),
                     s.text(5),    s.integer(6) != 0, s.integer(7) != 0};
        e.recipient = readRecipient(s, 8);
        out.push_back(std::move(e));
    }
    return out;
}

std::optional<std::int64_t> Database::nextDue() {
    Statement s(db_, "SELECT coalesce(min(due), -1) FROM notify_outbox");
    s.step();
    if (s.integer(0) < 0)
        return std::nullopt;
    return s.integer(0);
}

void Database::recordTries(const std::vector<TryResult>& results, std::int64_t nowSeconds) {
    if (results.empty())
        return;
    exec("BEGIN IMMEDIATE");
    try {
        Statement done(db_, "DELETE FROM notify_outbox WHERE comment = ? AND recipient = ?");
        Statement retry(db_, "UPDATE notify_outbox SET attempts = attempts + 1, due = ? "
                             "WHERE comment = ? AND recipient = ?");
        // A recipient that failed is not tried again, for any comment, before
        // its delay is over: one that is down costs one try per delay.
        Statement holdOthers(db_, "UPDATE notify_outbox SET due = max(due, ?) WHERE recipient = ?");
        Statement ok(db_,
                     "UPDATE notify_recipients SET last_success = ?, failures = 0 WHERE id = ?");
        Statement failed(db_, "UPDATE notify_recipients SET last_error = ?, last_error_at = ?, "
                              "failures = failures + 1, given_up = given_up + ? WHERE id = ?");
        for (const TryResult& t : results) {
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
                ok.bind(1, nowSeconds);
                ok.bind(2, t.recipient);
                ok.step();
                ok.reset();
            } else {
                failed.bind(1, *t.error);
                failed.bind(2, nowSeconds);
                failed.bind(3, std::int64_t{t.giveUp});
                failed.bind(4, t.recipient);
                failed.step();
                failed.reset();
            }
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Database::recordTest(std::int64_t recipient, const std::optional<std::string>& error,
                          std::int64_t nowSeconds) {
    Statement s(db_, error ? "UPDATE notify_recipients SET last_error = ?1, last_error_at = ?2 "
                             "WHERE id = ?3"
                           : "UPDATE notify_recipients SET last_success = ?2 WHERE id = ?3");
    if (error)
        s.bind(1, *error);
    s.bind(2, nowSeconds);
    s.bind(3, recipient);
    s.step();
}

} // namespace pelvoran::server
