#pragma once

// The schema on PostgreSQL: its version kept in the table pelvoran_schema,
// made by schemaMigrations() as SQLite's is.

namespace pelvoran::server {

class Connection;

/// Makes the whole schema at the newest version in an empty database, in
/// the transaction open on `pg`. Throws StoreError.
void createPostgresSchema(Connection& pg);
/// Drops every table and function the migrations make, with their rows,
/// in the transaction open on `pg`. Throws StoreError.
void dropPostgresSchema(Connection& pg);

} // namespace pelvoran::server
