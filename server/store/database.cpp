#include "server/store/database.h"

#include "server/engine/postgres.h"
#include "server/engine/sqlite_support.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

std::unique_ptr<Connection> open(const std::string& location, std::chrono::milliseconds busyTimeout,
                                 Deadline deadline) {
    if (isPostgresLocation(location))
        return std::make_unique<PgConnection>(location, busyTimeout, deadline);
    keepPrivate(location);
    auto connection = std::make_unique<SqliteConnection>(
        openConnection(location, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    // A writer waits this long for another connection's transaction.
    sqlite3_busy_timeout(connection->get(), static_cast<int>(busyTimeout.count()));
    connection->exec("PRAGMA journal_mode=WAL");
    connection->exec("PRAGMA synchronous=FULL");
    connection->exec("PRAGMA foreign_keys=ON");
    // What is deleted is overwritten, not only unlinked.
    connection->exec("PRAGMA secure_delete=ON");
    return connection;
}

SqliteConnection& sqlite(Connection& c) {
    return static_cast<SqliteConnection&>(c);
}

PgConnection& postgres(Connection& c) {
    return static_cast<PgConnection&>(c);
}

} // namespace

bool isPostgresLocation(const std::string& location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::string shownLocation(const std::string& location) {
    return isPostgresLocation(location) ? shownPostgres(location) : location;
}

Database::Database(const std::string& location, std::chrono::milliseconds busyTimeout,
                   Deadline deadline)
    : connection_(open(location, busyTimeout, deadline)), audit_(*connection_),
      comments_(*connection_, audit_), outbox_(*connection_), releases_(*connection_, audit_),
      sessions_(*connection_), field_(*connection_), downloads_(*connection_) {
    migrate();
}

Database::~Database() = default;

bool Database::postgres() const {
    return connection_->postgres();
}

int Database::schemaVersion() {
    return connection_->schemaVersion();
}

void Database::migrate() {
    connection_->migrate();
}

std::optional<SynchronousStandbys> Database::synchronousStandbys() {
    if (!connection_->postgres())
        return std::nullopt;
    Statement s(*connection_,
                "SELECT current_setting('synchronous_standby_names'), (SELECT count(*) FROM "
                "pg_stat_replication WHERE sync_state IN ('sync', 'quorum'))");
    s.step();
    return SynchronousStandbys{s.text(0), s.integer(1)};
}

std::optional<std::pair<std::string, unsigned>> Database::sharedFile(const std::string& name) {
    Statement s(*connection_, "SELECT data, mode FROM pelvoran_state_files WHERE name = ?");
    s.bind(1, name);
    if (!s.step())
        return std::nullopt;
    return std::pair{s.text(0), static_cast<unsigned>(s.integer(1) & 07777)};
}

std::string Database::shareFile(const std::string& name, const std::string& data, unsigned mode) {
    Statement s(*connection_, "INSERT INTO pelvoran_state_files (name, mode, data) VALUES "
                              "(?, ?, ?) ON CONFLICT DO NOTHING");
    s.bind(1, name);
    s.bind(2, std::int64_t{mode});
    s.bindBlob(3, data);
    s.step();
    return sharedFile(name).value_or(std::pair{data, mode}).first;
}

bool Database::claimDailyBackup(std::chrono::sys_days day) {
    if (!connection_->postgres())
        return true;
    Statement s(*connection_, "INSERT INTO pelvoran_daily_backups (day) VALUES (?) "
                              "ON CONFLICT DO NOTHING");
    s.bind(1, std::int64_t{day.time_since_epoch().count()});
    s.step();
    return connection_->changes() == 1;
}

void Database::holdServing() {
    if (connection_->postgres())
        server::postgres(*connection_).holdShared(AdvisoryLock::serving);
}

std::optional<std::int64_t> Database::serverBytes() {
    if (!connection_->postgres())
        return std::nullopt;
    Statement s(*connection_, "SELECT pg_database_size(current_database())");
    s.step();
    return s.integer(0);
}

std::int64_t Database::dataVersion() {
    Statement s(*connection_,
                connection_->postgres() ? "SELECT n FROM pelvoran_changes" : "PRAGMA data_version");
    s.step();
    return s.integer(0);
}

void Database::tryWrite() {
    Transaction transaction(*connection_);
    transaction.rollback();
}

void Database::setDeadline(Deadline until) {
    connection_->setDeadline(until);
}

bool Database::sessionAlive(std::int64_t session) {
    return connection_->postgres() && server::postgres(*connection_).sessionAlive(session);
}

void Database::copyInto(const std::string& path) {
    if (connection_->postgres()) {
        copyPostgresInto(*connection_, path);
        return;
    }
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
    // PostgreSQL checks its own pages (and the administrator runs
    // pg_amcheck); what SQLite's check finds has no counterpart there.
    if (connection_->postgres())
        return {};
    const CheckResult check = runCheck(sqlite(*connection_), "PRAGMA integrity_check");
    if (check.rc != SQLITE_OK)
        throw StoreError(check.why);
    return check.problems;
}

bool Database::rebuildIndexes() {
    if (connection_->postgres())
        return false;
    return server::rebuildIndexes(sqlite(*connection_));
}

void Database::interrupt() {
    if (connection_->postgres()) {
        // The server may not answer the cancel: past the deadline, the
        // connection is given up.
        server::postgres(*connection_).setDeadline(std::chrono::steady_clock::now());
        server::postgres(*connection_).cancel();
    } else
        sqlite3_interrupt(sqlite(*connection_).get());
}

} // namespace pelvoran::server
