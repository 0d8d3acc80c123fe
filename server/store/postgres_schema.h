#pragma once

#include <span>

namespace pelvoran::server {

/// The schema a new PostgreSQL database is given, whole: the SQLite
/// store's at version postgresSchemaBase().
const char* postgresSchema();
int postgresSchemaBase();

/// PostgreSQL's forward migrations after that base: entry N brings a
/// database from postgresSchemaBase() + N to the version after, as the
/// SQLite migration of the same number does.
std::span<const char* const> postgresMigrations();

} // namespace pelvoran::server
