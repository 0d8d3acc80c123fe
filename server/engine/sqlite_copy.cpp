#include "server/engine/sqlite_copy.h"

#include "server/engine/postgres.h"
#include "server/engine/sqlite_support.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {

/// `name` as an SQL identifier.
std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

/// The names of the tables of `schema` that are not SQLite's own, in the
/// order they were made.
std::vector<std::string> tablesOf(Connection& db, const std::string& schema,
                                  const std::string& condition) {
    Statement s(db, ("SELECT name FROM " + schema +
                     ".sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
                     "ESCAPE '\\' " +
                     condition + " ORDER BY rowid")
                        .c_str());
    std::vector<std::string> names;
    while (s.step())
        names.push_back(s.text(0));
    return names;
}

std::vector<Column> columnsOf(Connection& db, const std::string& table) {
    Statement info(db, "SELECT name, upper(type) FROM pragma_table_info(?, 'main')");
    info.bind(1, table);
    std::vector<Column> columns;
    while (info.step())
        columns.push_back({info.text(0), info.text(1)});
    return columns;
}

std::string columnList(const std::vector<Column>& columns) {
    std::string list;
    for (const Column& c : columns)
        list += (list.empty() ? "" : ", ") + quoted(c.name);
    return list;
}

/// Binds column `at` of the row `from` is on to parameter `to` of `into`,
/// as the column's type says.
void bindColumn(Statement& into, int to, Statement& from, int at, const Column& column) {
    if (column.type == "INTEGER")
        into.bind(to, from.integer(at));
    else if (column.type == "BLOB")
        into.bindBlob(to, from.text(at));
    else
        into.bind(to, from.text(at));
}

void bindValue(Statement& into, int to, const Column& column, const Value& value) {
    if (column.type == "INTEGER")
        into.bind(to, value.integer);
    else if (column.type == "BLOB")
        into.bindBlob(to, value.bytes);
    else
        into.bind(to, value.bytes);
}

void copyPostgresInto(Connection& pg, const std::string& path) {
    const auto out = openSqliteFile(path, SqliteFile::create);
    {
        Transaction schema(*out);
        runMigrations(*out, 0);
        out->exec("PRAGMA user_version=" + std::to_string(knownSchemaVersion()));
        schema.commit();
    }
    // One snapshot for every table; a cursor, so that memory holds a few
    // rows at a time whatever the tables hold.
    pg.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    try {
        Transaction rows(*out);
        for (const std::string& table : tablesOf(*out, "main")) {
            const std::vector<Column> columns = columnsOf(*out, table);
            const std::string list = columnList(columns);
            std::string marks;
            for (std::size_t i = 0; i < columns.size(); ++i)
                marks += i == 0 ? "?" : ", ?";
            Statement insert(*out, "INSERT INTO main." + quoted(table) + " (" + list +
                                       ") VALUES (" + marks + ")");
            pg.exec("DECLARE pelvoran_copy NO SCROLL CURSOR FOR SELECT " + list + " FROM " +
                    quoted(table));
            Statement fetch(pg, "FETCH 64 FROM pelvoran_copy");
            for (bool more = true; more;) {
                more = false;
                while (fetch.step()) {
                    more = true;
                    for (std::size_t i = 0; i < columns.size(); ++i)
                        bindColumn(insert, static_cast<int>(i + 1), fetch, static_cast<int>(i),
                                   columns[i]);
                    insert.step();
                    insert.reset();
                }
                fetch.reset();
            }
            pg.exec("CLOSE pelvoran_copy");
        }
        // The highest number each table ever gave, above those of rows
        // deleted since.
        out->keepNumbersAbove(pg.highestNumbers());
        rows.commit();
        pg.exec("COMMIT");
    } catch (...) {
        pg.rollbackQuietly();
        throw;
    }
}

} // namespace pelvoran::server
