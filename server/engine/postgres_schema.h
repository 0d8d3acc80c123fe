#pragma once

#include <span>
#include <string>

namespace pelvoran::server {

/// The version of the SQLite store's schema that a new PostgreSQL
/// database is given, whole, before postgresMigrations().
int postgresSchemaBase();

class Connection;

/// Makes the whole schema at the newest version in an empty database, in
/// the transaction open on `pg`. Throws StoreError.
void createPostgresSchema(Connection& pg);
/// Drops every table and function createPostgresSchema makes, with their
/// rows, in the transaction open on `pg`. Throws StoreError.
void dropPostgresSchema(Connection& pg);

/// PostgreSQL's forward migrations after that base: entry N brings a
/// database from postgresSchemaBase() + N to the version after, as the
/// SQLite migration of the same number does.
std::span<const char* const> postgresMigrations();

} // namespace pelvoran::server
