#include "server/store.h"

#include "server/error_text.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <sys/stat.h>

namespace pelvoran::server {

std::string sqliteErrorText(sqlite3* db, int rc) {
    const char* english = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int error = db ? sqlite3_system_errno(db) : 0;
    std::string cause;
    switch (rc & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
        // The system's reason says more than SQLite's.
        if (error != 0)
            return systemErrorText(error) + "（" + english + "）";
        cause = (rc & 0xFF) == SQLITE_IOERR ? "磁盘读写出错，请检查磁盘" : "无法打开";
        break;
    case SQLITE_PERM:
    case SQLITE_AUTH: cause = "权限不够，请用 sudo 运行"; break;
    case SQLITE_READONLY:
        cause = "文件是只读的，运行的用户无法写入：请用 sudo 运行，或让所有者可以写入它";
        break;
    case SQLITE_FULL: cause = "磁盘已满，请腾出空间后重试"; break;
    case SQLITE_NOTADB: cause = "不是本程序的数据库文件"; break;
    case SQLITE_CORRUPT: cause = "数据库已损坏，请从备份恢复"; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: cause = "数据库被另一个进程锁住，请稍后重试"; break;
    case SQLITE_NOMEM: cause = "内存不够"; break;
    default: cause = "数据库出错"; break;
    }
    return cause + "（" + english + "）";
}

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
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

/// A statement, finalized on every way out.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db, rc));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, std::int64_t v) { check(sqlite3_bind_int64(stmt_, i, v)); }
    void bind(int i, const std::string& v) {
        check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bind(int i, TextView v) { bind(i, toUtf8(v)); }
    void bindBlob(int i, const std::string& v) {
        check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }

    /// True while rows come.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw StoreError(sqliteErrorText(db_, rc));
        return false;
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    Text utf16(int col) { return fromUtf8Lenient(text(col)); }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db_, rc));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

/// Comments are nobody else's business: a file of the database that group
/// or others may read is made the owner's alone. The -wal and -shm files
/// SQLite creates later take the main file's mode.
void keepPrivate(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            ::chmod(file.c_str(), st.st_mode & 0700);
    }
}

/// A connection closed on every way out.
using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

} // namespace

void checkDatabase(const std::string& path, const std::string& shown) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return;
    const std::string backups =
        (std::filesystem::path(shown).parent_path() / "backups").string() + "/";
    if (st.st_size == 0)
        throw StoreError("数据库文件 " + shown + " 是空的（0 字节），已被清空。请从 " + backups +
                         " 中的备份恢复（pelvoran-server restore），或删除它以重新开始。");
    keepPrivate(path);
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    const Connection db(raw, &sqlite3_close);
    if (rc != SQLITE_OK)
        throw StoreError("无法打开数据库文件 " + shown + "：" + sqliteErrorText(raw, rc));
    if (sqlite3_db_readonly(raw, "main") == 1)
        throw StoreError("数据库文件 " + shown +
                         " 是只读的，服务器无法保存留言。请让运行服务器的用户可以写入它"
                         "（例如 chmod 600），再重试。");
    sqlite3_busy_timeout(raw, 2000);
    std::string problem;
    sqlite3_stmt* stmt = nullptr;
    int step = sqlite3_prepare_v2(raw, "PRAGMA quick_check", -1, &stmt, nullptr);
    if (step == SQLITE_OK) {
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            const std::string line = text ? reinterpret_cast<const char*>(text) : "";
            if (line != "ok" && problem.empty())
                problem = line;
            std::replace(problem.begin(), problem.end(), '\n', ' ');
        }
        if (step == SQLITE_DONE)
            step = SQLITE_OK;
    }
    const std::string why = step == SQLITE_OK ? "" : sqliteErrorText(raw, step);
    sqlite3_finalize(stmt);
    const int primary = step & 0xFF;
    if (primary == SQLITE_NOTADB)
        throw StoreError("数据库文件 " + shown + " 不是本程序的数据库文件（" +
                         sqlite3_errstr(step) + "），服务器不会使用它。请确认 --state，或从 " +
                         backups + " 中的备份恢复（pelvoran-server restore）。");
    if (problem.empty() && primary == SQLITE_CORRUPT)
        problem = sqlite3_errstr(step);
    if (!problem.empty())
        throw StoreError("数据库文件 " + shown + " 已损坏（" + problem +
                         "），服务器不会使用它。请从 " + backups +
                         " 中的备份恢复（pelvoran-server restore），再重试。");
    if (step != SQLITE_OK)
        throw StoreError("无法检查数据库文件 " + shown + "：" + why);
    sqlite3_stmt* version = nullptr;
    int schema = 0;
    if (sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW)
        schema = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);
    if (schema > kSchemaVersion)
        throw StoreError("数据库文件 " + shown + " 来自更新版本的服务器（数据库格式 " +
                         std::to_string(schema) + "，本程序只认到 " +
                         std::to_string(kSchemaVersion) + "）：请升级 pelvoran-server。");
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
            throw StoreError("数据库来自更新版本的服务器（数据库格式 " + std::to_string(version) +
                             "，本程序只认到 " + std::to_string(kSchemaVersion) +
                             "）：请升级 pelvoran-server 后再用它");
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
    Statement s(db_, "SELECT version, address, date, notes FROM release");
    if (!s.step())
        return std::nullopt;
    return Release{s.utf16(0), s.utf16(1), s.utf16(2), s.utf16(3)};
}

void Database::setRelease(const Release& r) {
    Statement s(db_, "INSERT OR REPLACE INTO release (only, version, address, date, notes) "
                     "VALUES (1, ?, ?, ?, ?)");
    s.bind(1, TextView(r.version));
    s.bind(2, TextView(r.address));
    s.bind(3, TextView(r.date));
    s.bind(4, TextView(r.notes));
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

void checkRestorable(const std::string& path, const std::string& shown) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    const Connection db(raw, &sqlite3_close);
    if (rc != SQLITE_OK)
        throw StoreError("无法打开 " + shown + "：" + sqliteErrorText(raw, rc));
    std::string problem;
    try {
        Statement check(raw, "PRAGMA integrity_check");
        while (check.step())
            if (const std::string line = check.text(0); line != "ok" && problem.empty())
                problem = line;
    } catch (const StoreError& e) {
        problem = e.what();
    }
    if (!problem.empty())
        throw StoreError(shown + " 不是完好的数据库（" + problem + "）");
    Statement version(raw, "PRAGMA user_version");
    version.step();
    const auto schema = version.integer(0);
    Statement tables(raw, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                          "('comments', 'release')");
    tables.step();
    if (schema < 1 || tables.integer(0) != 2)
        throw StoreError(shown + " 不是 pelvoran-server 的数据库");
    if (schema > kSchemaVersion)
        throw StoreError(shown + " 来自更新版本的服务器（数据库格式 " + std::to_string(schema) +
                         "，本程序只认到 " + std::to_string(kSchemaVersion) +
                         "）：请先升级 pelvoran-server");
}

} // namespace pelvoran::server
