#include "server/engine/postgres_schema.h"

#include "server/engine/engine_texts.h"
#include "server/engine/postgres.h"
#include "server/engine/schema.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

/// How long a server waits for another's migration of the same database.
constexpr std::chrono::minutes kMigrationWait(10);

/// Where the version is kept: made before the first migration, so that a
/// database holding it is this server's.
constexpr char kVersionTable[] = "pelvoran_schema";

/// A list of `names` for DROP: each an identifier.
std::string nameList(const std::vector<std::string>& names, const char* suffix) {
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name + suffix;
    return list;
}

} // namespace

void createPostgresSchema(Connection& pg) {
    pg.exec(std::string("CREATE TABLE ") + kVersionTable + " (version BIGINT NOT NULL); " +
            "INSERT INTO " + kVersionTable + " (version) VALUES (0)");
    runMigrations(pg, 0);
    pg.exec(std::string("UPDATE ") + kVersionTable +
            " SET version = " + std::to_string(knownSchemaVersion()));
}

void dropPostgresSchema(Connection& pg) {
    std::vector<std::string> tables = schemaObjects(Engine::postgres, "TABLE");
    tables.push_back(kVersionTable);
    pg.exec("DROP TABLE IF EXISTS " + nameList(tables, "") + " CASCADE");
    pg.exec("DROP FUNCTION IF EXISTS " +
            nameList(schemaObjects(Engine::postgres, "FUNCTION"), "()"));
}

int PgConnection::schemaVersion() {
    Statement s(*this, std::string("SELECT count(*) FROM pg_tables WHERE schemaname = "
                                   "current_schema() AND tablename = '") +
                           kVersionTable + "'");
    s.step();
    if (s.integer(0) == 0)
        return 0;
    Statement v(*this, std::string("SELECT coalesce(max(version), 0) FROM ") + kVersionTable);
    v.step();
    return static_cast<int>(v.integer(0));
}

void PgConnection::migrate() {
    const int latest = knownSchemaVersion();
    if (schemaVersion() == latest)
        return; // the common case takes no lock
    // The lock is taken before the transaction begins, so that the
    // transaction sees the tables another server just made.
    lockSession(AdvisoryLock::migration, kMigrationWait);
    try {
        Transaction transaction(*this);
        const int version = schemaVersion();
        if (version > latest)
            throw StoreError(newerSchemaText(engine_text::kDatabase, version));
        if (version == 0) {
            Statement others(*this, "SELECT count(*), coalesce(min(tablename), '') FROM "
                                    "pg_tables WHERE schemaname = current_schema()");
            others.step();
            if (others.integer(0) > 0)
                throw StoreError(engine_text::otherTables(others.text(1)));
            createPostgresSchema(*this);
        } else {
            runMigrations(*this, version);
            exec(std::string("UPDATE ") + kVersionTable +
                 " SET version = " + std::to_string(latest));
        }
        transaction.commit();
    } catch (...) {
        unlockSession(AdvisoryLock::migration);
        throw;
    }
    unlockSession(AdvisoryLock::migration);
}

} // namespace pelvoran::server
