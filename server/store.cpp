#include "server/store.h"

#include "server/sqlite_support.h"

#include <iterator>

namespace pelvoran::server {

namespace {

/// Forward migrations: entry N brings a database from user_version N to N+1.
constexpr const char* kMigrations[] = {
    R"sql(
    CREATE TABLE comments (
        id       INTEGER PRIMARY KEY,
        received INTEGER NOT NULL,
        text     TEXT NOT NULL,
        raw      BLOB NOT NULL,
        source   TEXT NOT NULL
    );
    CREATE INDEX comments_by_time ON comments (received);
    CREATE TABLE release (
        only     INTEGER PRIMARY KEY CHECK (only = 1),
        version  TEXT NOT NULL,
        address  TEXT NOT NULL,
        date     TEXT NOT NULL,
        notes    TEXT NOT NULL
    );
    )sql",
    // The admin pages: read marks, comments flagged as a bot's, the use count.
    R"sql(
    ALTER TABLE comments ADD COLUMN read INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE comments ADD COLUMN flagged INTEGER NOT NULL DEFAULT 0;
    CREATE TABLE use (
        day      INTEGER PRIMARY KEY,
        checks   INTEGER NOT NULL
    );
    )sql",
    // A comment's number is never handed out again, not after the newest
    // comments are deleted: receivers of notifications tell repeats by it.
    // AUTOINCREMENT keeps the highest number ever given in sqlite_sequence;
    // the rows copied in set it to the highest number there is.
    R"sql(
    CREATE TABLE comments_numbered (
        id       INTEGER PRIMARY KEY AUTOINCREMENT,
        received INTEGER NOT NULL,
        text     TEXT NOT NULL,
        raw      BLOB NOT NULL,
        source   TEXT NOT NULL,
        read     INTEGER NOT NULL DEFAULT 0,
        flagged  INTEGER NOT NULL DEFAULT 0
    );
    INSERT INTO comments_numbered (id, received, text, raw, source, read, flagged)
        SELECT id, received, text, raw, source, read, flagged FROM comments;
    DROP TABLE comments;
    ALTER TABLE comments_numbered RENAME TO comments;
    CREATE INDEX comments_by_time ON comments (received);
    )sql",
    // The admin pages' sessions outlive a restart: each by a digest of its
    // cookie, so that a copy of the database opens none of them.
    R"sql(
    CREATE TABLE admin_sessions (
        key      TEXT PRIMARY KEY,
        expires  INTEGER NOT NULL,
        used     INTEGER NOT NULL
    );
    )sql",
    // The release's signature, served as its fifth field; empty: unsigned.
    R"sql(
    ALTER TABLE release ADD COLUMN signature TEXT NOT NULL DEFAULT '';
    )sql",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

} // namespace

int knownSchemaVersion() {
    return kSchemaVersion;
}

Database::Database(const std::string& path, std::chrono::milliseconds busyTimeout) {
    keepPrivate(path);
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = sqliteErrorText(db_, rc);
        sqlite3_close(db_);
        throw StoreError(why);
    }
    try {
        // A writer waits this long for another connection's transaction.
        sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        exec("PRAGMA foreign_keys=ON");
        // What is deleted is overwritten, not only unlinked.
        exec("PRAGMA secure_delete=ON");
        migrate();
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

Database::~Database() {
    sqlite3_close(db_);
}

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
    if (schemaVersion() == kSchemaVersion)
        return; // the common case takes no lock
    exec("BEGIN IMMEDIATE");
    try {
        const int version = schemaVersion();
        if (version > kSchemaVersion)
            throw StoreError(newerSchemaText("数据库", version));
        for (int v = version; v < kSchemaVersion; ++v)
            exec(kMigrations[v]);
        if (version != kSchemaVersion)
            exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

template <class Work> void Database::inTransaction(Work work) {
    exec("BEGIN IMMEDIATE");
    try {
        work();
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Database::insert(const std::vector<NewComment>& comments) {
    inTransaction([&] {
        Statement s(db_, "INSERT INTO comments (received, text, raw, source, flagged) "
                         "VALUES (?, ?, ?, ?, ?)");
        for (const auto& c : comments) {
            s.bind(1, c.received);
            s.bind(2, TextView(c.text));
            s.bindBlob(3, c.raw);
            s.bind(4, c.source);
            s.bind(5, std::int64_t{c.flagged});
            s.step();
            s.reset();
        }
    });
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
    inTransaction([&] {
        Statement s(db_, "INSERT INTO use (day, checks) VALUES (?, ?) "
                         "ON CONFLICT (day) DO UPDATE SET checks = checks + excluded.checks");
        for (const auto& [day, checks] : checksPerDay) {
            s.bind(1, day);
            s.bind(2, checks);
            s.step();
            s.reset();
        }
    });
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

void Database::setRelease(const Release& r) {
    Statement s(db_, "INSERT OR REPLACE INTO release (only, version, address, date, notes, "
                     "signature) VALUES (1, ?, ?, ?, ?, ?)");
    s.bind(1, TextView(r.version));
    s.bind(2, TextView(r.address));
    s.bind(3, TextView(r.date));
    s.bind(4, TextView(r.notes));
    s.bind(5, r.signature);
    s.step();
}

void Database::clearRelease() {
    exec("DELETE FROM release");
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

void Database::keepNumbersAbove(std::int64_t number) {
    inTransaction([&] {
        Statement add(db_, "INSERT INTO sqlite_sequence (name, seq) SELECT 'comments', 0 "
                           "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = "
                           "'comments')");
        add.step();
        Statement raise(db_, "UPDATE sqlite_sequence SET seq = max(seq, ?) WHERE name = "
                             "'comments'");
        raise.bind(1, number);
        raise.step();
    });
}

bool Database::canWrite() {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    return sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Database::addSession(const std::string& key, std::int64_t expires, std::size_t keep) {
    inTransaction([&] {
        Statement drop(db_, "DELETE FROM admin_sessions WHERE key IN (SELECT key FROM "
                            "admin_sessions ORDER BY used DESC LIMIT -1 OFFSET ?)");
        drop.bind(1, static_cast<std::int64_t>(keep > 0 ? keep - 1 : 0));
        drop.step();
        Statement add(db_, "INSERT OR REPLACE INTO admin_sessions (key, expires, used) VALUES "
                           "(?, ?, (SELECT coalesce(max(used), 0) + 1 FROM admin_sessions))");
        add.bind(1, key);
        add.bind(2, expires);
        add.step();
    });
}

bool Database::useSession(const std::string& key, std::int64_t now) {
    bool live = false;
    inTransaction([&] {
        Statement expired(db_, "DELETE FROM admin_sessions WHERE expires <= ?");
        expired.bind(1, now);
        expired.step();
        Statement use(db_, "UPDATE admin_sessions SET used = (SELECT max(used) + 1 FROM "
                           "admin_sessions) WHERE key = ?");
        use.bind(1, key);
        use.step();
        live = sqlite3_changes(db_) == 1;
    });
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
