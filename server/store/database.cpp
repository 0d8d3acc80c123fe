#include "server/store/database.h"

#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

namespace pelvoran::server {
namespace {

std::unique_ptr<Connection> openPrivate(const std::string& path) {
    keepPrivate(path);
    return std::make_unique<Connection>(
        openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
}

} // namespace

Database::Database(const std::string& path, std::chrono::milliseconds busyTimeout)
    : connection_(openPrivate(path)), audit_(*connection_), comments_(*connection_, audit_),
      outbox_(*connection_), releases_(*connection_, audit_), sessions_(*connection_),
      use_(*connection_), downloads_(*connection_) {
    // A writer waits this long for another connection's transaction.
    sqlite3_busy_timeout(connection_->get(), static_cast<int>(busyTimeout.count()));
    connection_->exec("PRAGMA journal_mode=WAL");
    connection_->exec("PRAGMA synchronous=FULL");
    connection_->exec("PRAGMA foreign_keys=ON");
    // What is deleted is overwritten, not only unlinked.
    connection_->exec("PRAGMA secure_delete=ON");
    migrate();
}

Database::~Database() = default;

int Database::schemaVersion() {
    Statement s(*connection_, "PRAGMA user_version");
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
        connection_->exec(schemaMigrations()[static_cast<std::size_t>(v)]);
    if (version != latest)
        connection_->exec("PRAGMA user_version=" + std::to_string(latest));
    transaction.commit();
}

std::int64_t Database::dataVersion() {
    Statement s(*connection_, "PRAGMA data_version");
    s.step();
    return s.integer(0);
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

void Database::copyInto(const std::string& path) {
    Statement s(*connection_, "VACUUM INTO ?");
    s.bind(1, path);
    s.step();
}

void Database::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    Transaction transaction(*connection_);
    // Only the tables that number with AUTOINCREMENT have a row there.
    Statement add(*connection_,
                  "INSERT INTO sqlite_sequence (name, seq) SELECT ?1, 0 WHERE EXISTS "
                  "(SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1 AND "
                  "sql LIKE '%AUTOINCREMENT%') AND NOT EXISTS (SELECT 1 FROM "
                  "sqlite_sequence WHERE name = ?1)");
    Statement raise(*connection_, "UPDATE sqlite_sequence SET seq = max(seq, ?) WHERE name = ?");
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

void Database::interrupt() {
    sqlite3_interrupt(connection_->get());
}

} // namespace pelvoran::server
