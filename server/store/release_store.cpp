#include "server/store/release_store.h"

#include "server/store/audit_log.h"
#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

namespace pelvoran::server {
namespace {

constexpr char kChangeColumns[] =
    "SELECT id, time, action, version, address, date, notes, source, signature "
    "FROM release_history ";

ReleaseChange readChange(Statement& s) {
    return {s.integer(0), s.seconds(1), s.text(2) == "publish",
            Release{s.utf16(3), s.utf16(4), s.utf16(5), s.utf16(6), s.text(8)}, s.text(7)};
}

} // namespace

std::optional<Release> ReleaseStore::current() {
    Statement s(connection_, "SELECT version, address, date, notes, signature FROM release");
    if (!s.step())
        return std::nullopt;
    return Release{s.utf16(0), s.utf16(1), s.utf16(2), s.utf16(3), toUtf8(s.utf16(4))};
}

void ReleaseStore::addChange(const char* action, const Release& r, const std::string& source) {
    Statement s(connection_,
                "INSERT INTO release_history (time, action, version, address, date, notes, "
                "source, signature) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, secondsNow());
    s.bind(2, std::string(action));
    s.bind(3, TextView(r.version));
    s.bind(4, TextView(r.address));
    s.bind(5, TextView(r.date));
    s.bind(6, TextView(r.notes));
    s.bind(7, source);
    s.bind(8, r.signature);
    s.step();
}

void ReleaseStore::publish(const Release& r, const std::string& source, const std::string& action,
                           const std::string& detail, const std::optional<ReleaseFile>& file) {
    Transaction transaction(connection_);
    Statement s(connection_, "INSERT OR REPLACE INTO release (only, version, address, date, notes, "
                             "signature) VALUES (1, ?, ?, ?, ?, ?)");
    s.bind(1, TextView(r.version));
    s.bind(2, TextView(r.address));
    s.bind(3, TextView(r.date));
    s.bind(4, TextView(r.notes));
    s.bind(5, r.signature);
    s.step();
    addChange("publish", r, source);
    if (file) {
        Statement f(connection_, "INSERT INTO release_files (history, platform, version, name, "
                                 "sha256) VALUES (last_insert_rowid(), ?, ?, ?, ?)");
        f.bind(1, std::string(platformName(file->platform)));
        f.bind(2, TextView(r.version));
        f.bind(3, file->name);
        f.bind(4, file->sha256);
        f.step();
    }
    audit_.append(action,
                  toUtf8(r.version) + detail +
                      (file ? "（文件 " + file->name + "，SHA-256 " + file->sha256 + "）" : ""),
                  source);
    transaction.commit();
}

void ReleaseStore::clear(const std::string& source) {
    Transaction transaction(connection_);
    const auto was = current();
    connection_.exec("DELETE FROM release");
    addChange("clear", Release{}, source);
    audit_.append("撤下", was ? "撤下了 " + toUtf8(was->version) : "本来就没有发布的版本", source);
    transaction.commit();
}

ReleaseHistory ReleaseStore::history(std::int64_t limit) {
    ReleaseHistory history;
    {
        Statement s(connection_, "SELECT count(*) FROM release_history");
        s.step();
        history.total = s.integer(0);
    }
    Statement s(connection_, std::string(kChangeColumns) + "ORDER BY id DESC LIMIT ?");
    s.bind(1, limit);
    while (s.step())
        history.changes.push_back(readChange(s));
    for (auto& c : history.changes)
        c.file = fileOf(c.id);
    return history;
}

std::optional<ReleaseChange> ReleaseStore::change(std::int64_t id) {
    Statement s(connection_, std::string(kChangeColumns) + "WHERE id = ?");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    auto c = readChange(s);
    c.file = fileOf(id);
    return c;
}

std::optional<ReleaseFile> ReleaseStore::fileOf(std::int64_t change) {
    Statement s(connection_, "SELECT r.platform, r.name, r.sha256, f.size FROM release_files r "
                             "JOIN download_files f USING (sha256) WHERE r.history = ?");
    s.bind(1, change);
    if (!s.step())
        return std::nullopt;
    return ReleaseFile{parsePlatform(s.text(0)).value_or(Platform::Windows), s.text(1), s.text(2),
                       s.integer(3)};
}

} // namespace pelvoran::server
