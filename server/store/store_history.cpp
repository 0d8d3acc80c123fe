#include "server/store/store.h"

#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

#include <ctime>

namespace pelvoran::server {
namespace {

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

void addChange(sqlite3* db, const char* action, const Release& r, const std::string& source) {
    Statement s(db, "INSERT INTO release_history (time, action, version, address, date, notes, "
                    "source, signature) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, now());
    s.bind(2, std::string(action));
    s.bind(3, TextView(r.version));
    s.bind(4, TextView(r.address));
    s.bind(5, TextView(r.date));
    s.bind(6, TextView(r.notes));
    s.bind(7, source);
    s.bind(8, r.signature);
    s.step();
}

constexpr char kChangeColumns[] =
    "SELECT id, time, action, version, address, date, notes, source, signature "
    "FROM release_history ";

ReleaseChange readChange(Statement& s) {
    return {s.integer(0), s.integer(1), s.text(2) == "publish",
            Release{s.utf16(3), s.utf16(4), s.utf16(5), s.utf16(6), s.text(8)}, s.text(7)};
}

} // namespace

void Database::setRelease(const Release& r, const std::string& source, const std::string& action,
                          const std::string& detail) {
    Transaction transaction(*connection_);
    Statement s(db_, "INSERT OR REPLACE INTO release (only, version, address, date, notes, "
                     "signature) VALUES (1, ?, ?, ?, ?, ?)");
    s.bind(1, TextView(r.version));
    s.bind(2, TextView(r.address));
    s.bind(3, TextView(r.date));
    s.bind(4, TextView(r.notes));
    s.bind(5, r.signature);
    s.step();
    addChange(db_, "publish", r, source);
    appendAudit(action, toUtf8(r.version) + detail, source);
    transaction.commit();
}

void Database::clearRelease(const std::string& source) {
    Transaction transaction(*connection_);
    const auto was = release();
    exec("DELETE FROM release");
    addChange(db_, "clear", Release{}, source);
    appendAudit("撤下", was ? "撤下了 " + toUtf8(was->version) : "本来就没有发布的版本", source);
    transaction.commit();
}

ReleaseHistory Database::releaseHistory(std::int64_t limit) {
    ReleaseHistory history;
    {
        Statement s(db_, "SELECT count(*) FROM release_history");
        s.step();
        history.total = s.integer(0);
    }
    Statement s(db_, (std::string(kChangeColumns) + "ORDER BY id DESC LIMIT ?").c_str());
    s.bind(1, limit);
    while (s.step())
        history.changes.push_back(readChange(s));
    return history;
}

std::optional<ReleaseChange> Database::releaseChange(std::int64_t id) {
    Statement s(db_, (std::string(kChangeColumns) + "WHERE id = ?").c_str());
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return readChange(s);
}

void Database::appendAudit(const std::string& action, const std::string& detail,
                           const std::string& source, const std::string& address) {
    Statement s(db_, "INSERT INTO audit_log (time, action, detail, source, address) "
                     "VALUES (?, ?, ?, ?, ?)");
    s.bind(1, now());
    s.bind(2, action);
    s.bind(3, detail);
    s.bind(4, source);
    s.bind(5, address);
    s.step();
}

AuditPage Database::auditLog(std::int64_t offset, std::int64_t limit) {
    AuditPage page;
    {
        Statement s(db_, "SELECT count(*) FROM audit_log");
        s.step();
        page.total = s.integer(0);
    }
    Statement s(db_, "SELECT id, time, action, detail, source, address FROM audit_log "
                     "ORDER BY id DESC LIMIT ? OFFSET ?");
    s.bind(1, limit);
    s.bind(2, offset);
    while (s.step())
        page.entries.push_back(
            {s.integer(0), s.integer(1), s.text(2), s.text(3), s.text(4), s.text(5)});
    return page;
}

} // namespace pelvoran::server
