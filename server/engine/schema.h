#pragma once

// The store's schema, one list of migrations for both engines: each step
// written once, with SQLite's and PostgreSQL's words side by side where
// they differ. A database of either engine, new or old, is brought to the
// newest schema by the same steps.

#include "server/engine/sql.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelvoran::server {

/// One step of the schema. `both` when the engines take the same SQL;
/// otherwise `sqlite` and `postgres`, each engine's own (empty: the step
/// has nothing to do on that engine).
struct Migration {
    const char* both = nullptr;
    const char* sqlite = nullptr;
    const char* postgres = nullptr;

    const char* sql(Engine engine) const {
        return both != nullptr ? both : engine == Engine::sqlite ? sqlite : postgres;
    }
};

/// Entry N brings a database from schema version N to N+1, on either engine.
std::span<const Migration> schemaMigrations();

/// The newest schema version this server knows.
int knownSchemaVersion();

/// Runs the migrations that bring `db` from schema version `from` to `to`,
/// in the transaction open on it; the version itself is the engine's to
/// write. Throws StoreError.
void runMigrations(Connection& db, int from, int to = knownSchemaVersion());

/// The tables and functions the migrations make on `engine`, and those
/// they made and dropped again, each once.
std::vector<std::string> schemaObjects(Engine engine, const char* kind);

/// The refusal of `what` (a database named for the publisher) written by a
/// newer server, with schema version `schema`.
std::string newerSchemaText(const std::string& what, std::int64_t schema);

} // namespace pelvoran::server
