// What the stores ask of SQLite where its SQL differs from PostgreSQL's,
// and SQLite files as the upkeep opens and checks them.

#include "server/engine/sqlite_copy.h"
#include "server/engine/sqlite_support.h"

namespace pelvoran::server {
namespace {

/// One server works on a SQLite file: its own state files are the truth.
class SqlitePeers final : public ServerPeers {
public:
    std::optional<std::pair<std::string, unsigned>> sharedFile(const std::string&) override {
        return std::nullopt;
    }
    std::string shareFile(const std::string&, const std::string& data, unsigned) override {
        return data;
    }
    bool claimDailyBackup(std::chrono::sys_days, bool fileThere) override { return !fileThere; }
    void holdServing() override {}
};

SqliteConnection& sqliteOf(Connection& db) {
    return dynamic_cast<SqliteConnection&>(db);
}

/// Whether the main schema of `db` holds SQLite's sqlite_sequence.
bool hasSequences(Connection& db) {
    Statement s(db, "SELECT count(*) FROM main.sqlite_schema WHERE type = 'table' AND name = "
                    "'sqlite_sequence'");
    s.step();
    return s.integer(0) > 0;
}

} // namespace

std::string SqliteConnection::textContains(const std::string& column,
                                           const std::string& parameter) const {
    return "instr(" + column + ", " + parameter + ") > 0";
}

std::int64_t SqliteConnection::highestNumber(const std::string& table) {
    Statement rows(*this, "SELECT coalesce(max(rowid), 0) FROM main." + quoted(table));
    rows.step();
    std::int64_t highest = rows.integer(0);
    if (hasSequences(*this)) {
        Statement seq(*this, "SELECT seq FROM main.sqlite_sequence WHERE name = ?");
        seq.bind(1, table);
        if (seq.step())
            highest = std::max(highest, seq.integer(0));
    }
    return highest;
}

std::map<std::string, std::int64_t> SqliteConnection::highestNumbers() {
    std::map<std::string, std::int64_t> highest;
    for (const std::string& table :
         tablesOf(*this, "main",
                  "AND sql NOT LIKE '%WITHOUT ROWID%' AND sql NOT LIKE 'CREATE VIRTUAL%'")) {
        Statement s(*this, "SELECT max(rowid) FROM main." + quoted(table));
        s.step();
        highest[table] = s.integer(0);
    }
    if (hasSequences(*this)) {
        Statement s(*this, "SELECT name, seq FROM main.sqlite_sequence");
        while (s.step())
            highest[s.text(0)] = std::max(highest[s.text(0)], s.integer(1));
    }
    return highest;
}

void SqliteConnection::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    if (!hasSequences(*this))
        return; // no table numbers with AUTOINCREMENT
    // Only the tables that number with AUTOINCREMENT have a row there.
    Statement add(*this, "INSERT INTO main.sqlite_sequence (name, seq) SELECT ?1, 0 WHERE EXISTS "
                         "(SELECT 1 FROM main.sqlite_schema WHERE type = 'table' AND name = ?1 "
                         "AND sql LIKE '%AUTOINCREMENT%') AND NOT EXISTS (SELECT 1 FROM "
                         "main.sqlite_sequence WHERE name = ?1)");
    Statement raise(*this, "UPDATE main.sqlite_sequence SET seq = max(seq, ?) WHERE name = ?");
    for (const auto& [table, number] : numbers) {
        add.bind(1, table);
        add.step();
        add.reset();
        raise.bind(1, number);
        raise.bind(2, table);
        raise.step();
        raise.reset();
    }
}

Remnant SqliteConnection::compactAfterDeletion(const std::vector<std::string>&) {
    // TRUNCATE waits (busy timeout) for readers of older frames, copies every
    // frame into the file, syncs it and cuts the WAL to nothing.
    Statement s(*this, "PRAGMA wal_checkpoint(TRUNCATE)");
    s.step();
    return s.integer(0) == 0 ? Remnant::none : Remnant::writeAheadLog;
}

std::int64_t SqliteConnection::changeCounter() {
    Statement s(*this, "PRAGMA data_version");
    s.step();
    return s.integer(0);
}

std::vector<std::string> SqliteConnection::integrityProblems() {
    const CheckResult check = runCheck(*this, "PRAGMA integrity_check");
    if (check.rc != SQLITE_OK)
        throw StoreError(check.why);
    return check.problems;
}

bool SqliteConnection::rebuildIndexes() {
    return server::rebuildIndexes(*this);
}

void SqliteConnection::copyInto(const std::string& path) {
    Statement s(*this, "VACUUM INTO ?");
    s.bind(1, path);
    s.step();
}

ServerPeers& SqliteConnection::peers() {
    static SqlitePeers peers;
    return peers;
}

std::unique_ptr<Connection> openSqliteFile(const std::string& path, SqliteFile how,
                                           std::chrono::milliseconds busyTimeout) {
    auto db = [&] {
        switch (how) {
        case SqliteFile::backup:
            return openConnection(backupUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        case SqliteFile::readOnly:
            return openConnection(fileUri(path, "mode=ro"), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        case SqliteFile::readWrite: return openConnection(path, SQLITE_OPEN_READWRITE);
        case SqliteFile::create: break;
        }
        return openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    }();
    if (busyTimeout.count() > 0)
        sqlite3_busy_timeout(db.get(), static_cast<int>(busyTimeout.count()));
    return std::make_unique<SqliteConnection>(std::move(db));
}

std::string backupUri(const std::string& path) {
    // Nothing else writes a backup: no lock is taken and no journal read
    // or left beside it.
    return fileUri(path, "mode=ro&immutable=1");
}

bool readOnlyFile(Connection& db) {
    return sqlite3_db_readonly(sqliteOf(db).get(), "main") == 1;
}

bool failedForWantOfResources(Connection& db) {
    const int rc = sqlite3_errcode(sqliteOf(db).get());
    return rc == SQLITE_FULL || rc == SQLITE_IOERR || rc == SQLITE_NOMEM;
}

FileCheck checkFile(Connection& db, bool full) {
    const CheckResult check =
        runCheck(sqliteOf(db), full ? "PRAGMA integrity_check" : "PRAGMA quick_check");
    FileCheck r;
    r.problems = check.problems;
    r.ranThrough = check.rc == SQLITE_OK;
    r.notADatabase = (check.rc & 0xFF) == SQLITE_NOTADB;
    r.corrupt = (check.rc & 0xFF) == SQLITE_CORRUPT;
    r.reason = sqlite3_errstr(check.rc);
    r.why = check.why;
    return r;
}

std::int64_t fileSchemaVersion(Connection& db) {
    Statement version(db, "PRAGMA user_version");
    version.step();
    return version.integer(0);
}

} // namespace pelvoran::server
