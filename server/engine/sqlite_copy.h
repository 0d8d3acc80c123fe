#pragma once

// Rows copied between the engines: a SQLite file of this server's schema
// read or written a table at a time, column by column as its schema
// declares them. Backups are SQLite files whichever engine serves.

#include "server/engine/sql.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvoran::server {

/// `name` as an SQL identifier.
std::string quoted(const std::string& name);

/// The names of the tables of `schema` of the SQLite file `db` that are not
/// SQLite's own, in the order they were made.
std::vector<std::string> tablesOf(Connection& db, const std::string& schema,
                                  const std::string& condition = "");

/// A table's columns as this server's SQLite schema declares them, and
/// whether each is INTEGER, TEXT or BLOB.
struct Column {
    std::string name;
    std::string type;
};

std::vector<Column> columnsOf(Connection& db, const std::string& table);
std::string columnList(const std::vector<Column>& columns);

/// Binds column `at` of the row `from` is on to parameter `to` of `into`,
/// as the column's type says.
void bindColumn(Statement& into, int to, Statement& from, int at, const Column& column);

/// A column's value on its way into PostgreSQL: INTEGER's number, or the
/// bytes of TEXT and BLOB.
struct Value {
    std::int64_t integer = 0;
    std::string bytes;
};

void bindValue(Statement& into, int to, const Column& column, const Value& value);

/// Rows sent to PostgreSQL in one INSERT, and the bytes that end a batch
/// sooner (a served file's chunks are 1 MiB each).
constexpr int kRowsPerInsert = 200;
constexpr std::size_t kBytesPerInsert = 8 * 1024 * 1024;

} // namespace pelvoran::server
