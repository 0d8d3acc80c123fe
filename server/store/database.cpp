#include "server/store/database.h"

#include "server/engine/postgres.h"
#include "server/engine/postgres_schema.h"
#include "server/engine/sqlite_support.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

// Only bringing the schema up to date still works on the engine's own type.
PgConnection& postgres(Connection& c) {
    return static_cast<PgConnection&>(c);
}

/// How long a server waits for another's migration of the same database.
constexpr std::chrono::minutes kMigrationWait(10);

} // namespace

Database::Database(const std::string& location, std::chrono::milliseconds busyTimeout,
                   Deadline deadline)
    : connection_(openConnection(location, busyTimeout, deadline)), audit_(*connection_),
      comments_(*connection_, audit_), outbox_(*connection_), releases_(*connection_, audit_),
      sessions_(*connection_), use_(*connection_), downloads_(*connection_) {
    migrate();
}

Database::~Database() = default;

int Database::schemaVersion() {
    if (connection_->postgres()) {
        Statement s(*connection_, "SELECT count(*) FROM pg_tables WHERE schemaname = "
                                  "current_schema() AND tablename = 'pelvoran_schema'");
        s.step();
        if (s.integer(0) == 0)
            return 0;
        Statement v(*connection_, "SELECT coalesce(max(version), 0) FROM pelvoran_schema");
        v.step();
        return static_cast<int>(v.integer(0));
    }
    Statement s(*connection_, "PRAGMA user_version");
    s.step();
    return static_cast<int>(s.integer(0));
}

void Database::migrate() {
    const int latest = knownSchemaVersion();
    if (schemaVersion() == latest)
        return; // the common case takes no lock
    if (!connection_->postgres()) {
        Transaction transaction(*connection_);
        const int version = schemaVersion();
        if (version > latest)
            throw StoreError(newerSchemaText("数据库", version));
        for (int v = version; v < latest; ++v)
            connection_->exec(schemaMigrations()[static_cast<std::size_t>(v)]);
        if (version != latest)
            connection_->exec("PRAGMA user_version=" + std::to_string(latest));
        transaction.commit();
        return;
    }
    // Servers starting together migrate once: the others wait, then find
    // it done. The lock is taken before the transaction begins, so that
    // the transaction sees the tables another server just made.
    PgConnection& pg = server::postgres(*connection_);
    pg.lockSession(AdvisoryLock::migration, kMigrationWait);
    try {
        Transaction transaction(*connection_);
        const int version = schemaVersion();
        if (version > latest)
            throw StoreError(newerSchemaText("数据库", version));
        if (version == 0) {
            Statement others(*connection_, "SELECT count(*), coalesce(min(tablename), '') FROM "
                                           "pg_tables WHERE schemaname = current_schema()");
            others.step();
            if (others.integer(0) > 0)
                throw StoreError(
                    "数据库中已有别的表（例如 " + others.text(1) +
                    "），却没有 pelvoran-server 的：这不是本程序的数据库，本程序不会"
                    "在其中建表。请为它建一个空的数据库（createdb），再用它的连接串。");
            createPostgresSchema(*connection_);
            transaction.commit();
            pg.unlockSession(AdvisoryLock::migration);
            return;
        }
        for (int at = version; at < latest; ++at)
            connection_->exec(
                postgresMigrations()[static_cast<std::size_t>(at - postgresSchemaBase())]);
        connection_->exec("UPDATE pelvoran_schema SET version = " + std::to_string(latest));
        transaction.commit();
    } catch (...) {
        pg.unlockSession(AdvisoryLock::migration);
        throw;
    }
    pg.unlockSession(AdvisoryLock::migration);
}

std::optional<SynchronousStandbys> Database::synchronousStandbys() {
    return connection_->synchronousStandbys();
}

ServerPeers& Database::peers() {
    return connection_->peers();
}

bool Database::takesDeadlines() const {
    return connection_->takesDeadlines();
}

bool Database::mendsItself() const {
    return connection_->mendsItself();
}

std::optional<std::int64_t> Database::serverBytes() {
    return connection_->serverBytes();
}

std::int64_t Database::dataVersion() {
    return connection_->changeCounter();
}

void Database::tryWrite() {
    Transaction transaction(*connection_);
    transaction.rollback();
}

void Database::setDeadline(Deadline until) {
    connection_->setDeadline(until);
}

bool Database::sessionAlive(std::int64_t session) {
    return connection_->sessionAlive(session);
}

void Database::copyInto(const std::string& path) {
    connection_->copyInto(path);
}

void Database::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    Transaction transaction(*connection_);
    connection_->keepNumbersAbove(numbers);
    transaction.commit();
}

std::vector<std::string> Database::integrityProblems() {
    return connection_->integrityProblems();
}

bool Database::rebuildIndexes() {
    return connection_->rebuildIndexes();
}

void Database::interrupt() {
    connection_->interrupt();
}

} // namespace pelvoran::server
