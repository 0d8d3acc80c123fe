#include "server/store/store.h"

#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

#include <iterator>

namespace pelvoran::server {

int knownSchemaVersion() {
    return static_cast<int>(schemaMigrations().size());
}

Database::Database(const std::string& path, std::chrono::milliseconds busyTimeout) {
    keepPrivate(path);
    connection_ = std::make_unique<Connection>(
        openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    db_ = connection_->get();
    // A writer waits this long for another connection's transaction.
    sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
    // What is deleted is overwritten, not only unlinked.
    exec("PRAGMA secure_delete=ON");
    migrate();
}

Database::~Database() = default;

void Database::exec(const char* sql) {
    if (const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
        throw StoreError(sqliteErrorText(db_, rc));
}

int Database::schemaVersion() {
    Statement s(db_, "PRAGMA user_version");
    s.step();
    return static_cast<int>(s.integer(0));
}

void Database::migrate() {
    const int latest = knownSchemaVersion();
    if (schemaVersion() == latest)
        return; // the common case takes no lock
    Transaction transaction(*connection_);
    const int version = schemaVersion();
    if (version > latest)
        throw StoreError(newerSchemaText("数据库", version));
    for (int v = version; v < latest; ++v)
        exec(schemaMigrations()[static_cast<std::size_t>(v)]);
    if (version != latest)
        exec(("PRAGMA user_version=" + std::to_string(latest)).c_str());
    transaction.commit();
}

std::int64_t unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string kindText(NotifyKind kind) {
    return kind == NotifyKind::Email ? "电子邮件" : "webhook";
}

void Database::insert(const std::vector<NewComment>& comments) {
    const std::int64_t nowMs = unixMillisNow();
    Transaction transaction(*connection_);
    Statement s(db_, "INSERT INTO comments (received, text, raw, source, flagged) "
                     "VALUES (?, ?, ?, ?, ?)");
    Statement queue(db_, "INSERT INTO notify_outbox (comment, recipient, queued, due) "
                         "SELECT last_insert_rowid(), id, ?1, ?1 FROM notify_recipients "
                         "WHERE flagged = 1 OR ?2 = 0");
    for (const auto& c : comments) {
        s.bind(1, c.received);
        s.bind(2, TextView(c.text));
        s.bindBlob(3, c.raw);
        s.bind(4, c.source);
        s.bind(5, std::int64_t{c.flagged});
        s.step();
        s.reset();
        queue.bind(1, nowMs);
        queue.bind(2, std::int64_t{c.flagged});
        queue.step();
        queue.reset();
    }
    transaction.commit();
}

namespace {

constexpr char kCommentColumns[] =
    "SELECT id, received, text, source, read, flagged FROM comments ";

std::vector<StoredComment> readComments(Statement& s) {
    std::vector<StoredComment> out;
    while (s.step())
        out.push_back({s.integer(0), s.integer(1), s.utf16(2), s.text(3), s.integer(4) != 0,
                       s.integer(5) != 0});
    return out;
}

} // namespace

std::vector<StoredComment> Database::comments(std::optional<std::int64_t> since) {
    Statement s(
        db_, (std::string(kCommentColumns) + "WHERE received >= ? ORDER BY received DESC, id DESC")
                 .c_str());
    s.bind(1, since.value_or(INT64_MIN));
    return readComments(s);
}

CommentPage Database::commentPage(const std::string& search, bool flagged, std::int64_t offset,
                                  std::int64_t limit) {
    // instr() finds the text as typed: no pattern characters to escape.
    const std::string where = "WHERE flagged = ? AND (? = '' OR instr(text, ?) > 0) ";
    CommentPage page;
    {
        Statement s(db_, ("SELECT count(*) FROM comments " + where).c_str());
        s.bind(1, std::int64_t{flagged});
        s.bind(2, search);
        s.bind(3, search);
        s.step();
        page.total = s.integer(0);
    }
    Statement s(db_, (std::string(kCommentColumns) + where +
                      "ORDER BY received DESC, id DESC LIMIT ? OFFSET ?")
                         .c_str());
    s.bind(1, std::int64_t{flagged});
    s.bind(2, search);
    s.bind(3, search);
    s.bind(4, limit);
    s.bind(5, offset);
    page.comments = readComments(s);
    return page;
}

std::int64_t Database::unreadCount() {
    Statement s(db_, "SELECT count(*) FROM comments WHERE read = 0 AND flagged = 0");
    s.step();
    return s.integer(0);
}

bool Database::markRead(std::int64_t id, bool read) {
    Statement s(db_, "UPDATE comments SET read = ? WHERE id = ?");
    s.bind(1, std::int64_t{read});
    s.bind(2, id);
    s.step();
    return sqlite3_changes(db_) == 1;
}

void Database::addUse(const std::map<std::int64_t, std::int64_t>& checksPerDay) {
    Transaction transaction(*connection_);
    Statement s(db_, "INSERT INTO use (day, checks) VALUES (?, ?) "
                     "ON CONFLICT (day) DO UPDATE SET checks = checks + excluded.checks");
    for (const auto& [day, checks] : checksPerDay) {
        s.bind(1, day);
        s.bind(2, checks);
        s.step();
        s.reset();
    }
    transaction.commit();
}

std::map<std::int64_t, std::int64_t> Database::use(std::int64_t fromDay) {
    Statement s(db_, "SELECT day, checks FROM use WHERE day >= ?");
    s.bind(1, fromDay);
    std::map<std::int64_t, std::int64_t> out;
    while (s.step())
        out[s.integer(0)] = s.integer(1);
    return out;
}

std::optional<Release> Database::release() {
    Statement s(db_, "SELECT version, address, date, notes, signature FROM release");
    if (!s.step())
        return std::nullopt;
    return Release{s.utf16(0), s.utf16(1), s.utf16(2), s.utf16(3), toUtf8(s.utf16(4))};
}

std::int64_t Database::dataVersion() {
    Statement s(db_, "PRAGMA data_version");
    s.step();
    return s.integer(0);
}

void Database::copyInto(const std::string& path) {
    Statement s(db_, "VACUUM INTO ?");
    s.bind(1, path);
    s.step();
}

std::pair<std::int64_t, std::int64_t> Database::commentCountAndNewest() {
    Statement s(db_, "SELECT count(*), coalesce(max(received), 0) FROM comments");
    s.step();
    return {s.integer(0), s.integer(1)};
}

void Database::interrupt() {
    sqlite3_interrupt(db_);
}

std::int64_t Database::highestCommentNumber() {
    Statement s(db_, "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = "
                     "'comments'), 0), coalesce((SELECT max(id) FROM comments), 0))");
    s.step();
    return s.integer(0);
}

void Database::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    Transaction transaction(*connection_);
    // Only the tables that number with AUTOINCREMENT have a row there.
    Statement add(db_, "INSERT INTO sqlite_sequence (name, seq) SELECT ?1, 0 WHERE EXISTS "
                       "(SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1 AND "
                       "sql LIKE '%AUTOINCREMENT%') AND NOT EXISTS (SELECT 1 FROM "
                       "sqlite_sequence WHERE name = ?1)");
    Statement raise(db_, "UPDATE sqlite_sequence SET seq = max(seq, ?) WHERE name = ?");
    for (const auto& [table, number] : numbers) {
        add.bind(1, table);
        add.step();
        add.reset();
        raise.bind(1, number);
        raise.bind(2, table);
        raise.step();
        raise.reset();
    }
    transaction.commit();
}

std::vector<std::string> Database::integrityProblems() {
    const CheckResult check = runCheck(*connection_, "PRAGMA integrity_check");
    if (check.rc != SQLITE_OK)
        throw StoreError(check.why);
    return check.problems;
}

bool Database::rebuildIndexes() {
    return server::rebuildIndexes(*connection_);
}

bool Database::canWrite() {
    try {
        Transaction transaction(*connection_);
        transaction.rollback();
        return true;
    } catch (const StoreError&) {
        return false;
    }
}

void Database::addSession(const std::string& key, std::int64_t expires, std::size_t keep) {
    Transaction transaction(*connection_);
    Statement drop(db_, "DELETE FROM admin_sessions WHERE key IN (SELECT key FROM "
                        "admin_sessions ORDER BY used DESC LIMIT -1 OFFSET ?)");
    drop.bind(1, static_cast<std::int64_t>(keep > 0 ? keep - 1 : 0));
    drop.step();
    Statement add(db_, "INSERT OR REPLACE INTO admin_sessions (key, expires, used) VALUES "
                       "(?, ?, (SELECT coalesce(max(used), 0) + 1 FROM admin_sessions))");
    add.bind(1, key);
    add.bind(2, expires);
    add.step();
    transaction.commit();
}

bool Database::useSession(const std::string& key, std::int64_t now) {
    Transaction transaction(*connection_);
    Statement expired(db_, "DELETE FROM admin_sessions WHERE expires <= ?");
    expired.bind(1, now);
    expired.step();
    Statement use(db_, "UPDATE admin_sessions SET used = (SELECT max(used) + 1 FROM "
                       "admin_sessions) WHERE key = ?");
    use.bind(1, key);
    use.step();
    const bool live = sqlite3_changes(db_) == 1;
    transaction.commit();
    return live;
}

void Database::endSession(const std::string& key) {
    Statement s(db_, "DELETE FROM admin_sessions WHERE key = ?");
    s.bind(1, key);
    s.step();
}

void Database::endAllSessions() {
    exec("DELETE FROM admin_sessions");
}

} // namespace pelvoran::server
