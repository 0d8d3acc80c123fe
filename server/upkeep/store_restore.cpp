#include "server/upkeep/store_restore.h"

#include "server/engine/postgres.h"
#include "server/engine/postgres_schema.h"
#include "server/engine/sqlite_copy.h"
#include "server/engine/sqlite_file.h"
#include "server/engine/transaction.h"
#include "server/store/database.h"
#include "server/upkeep/upkeep_texts.h"

#include <algorithm>
#include <map>
#include <optional>

namespace pelvoran::server {
namespace {

/// The most rows, and the largest file, a backup's state_files may hold:
/// keys and tokens are a few hundred bytes.
constexpr std::size_t kMaxStateFiles = 16;
constexpr std::int64_t kMaxStateFileBytes = 64 * 1024;

std::unique_ptr<Connection> openBackup(const std::string& path, const std::string& shown) {
    try {
        return openSqliteFile(path, SqliteFile::backup);
    } catch (const StoreError& e) {
        throw StoreError(upkeep_text::cannotOpen(shown, e.what()));
    }
}

/// The schema version of the backup `db`, refused (naming `shown`) when it
/// is no database of this server's or one of a newer server.
std::int64_t backupSchema(Connection& db, const std::string& shown) {
    const std::int64_t schema = fileSchemaVersion(db);
    if (schema < 1)
        throw RefusedBackup(RefusedBackup::Reason::NotOurs, upkeep_text::notOurDatabase(shown),
                            shown);
    if (schema > knownSchemaVersion())
        throw RefusedBackup(RefusedBackup::Reason::Newer, newerSchemaText(shown, schema), shown);
    return schema;
}

/// Whether `schema` (main, backup) holds `name` as a plain table: false
/// when it holds nothing by that name. Anything else by that name is
/// refused, naming `shown`: a view runs its own SELECT whether the schema
/// is trusted or not, and a virtual table runs a module's code.
bool plainTable(Connection& db, const std::string& schema, const std::string& name,
                const std::string& shown) {
    Statement s(db, "SELECT type, coalesce(sql, '') FROM " + schema +
                        ".sqlite_schema WHERE name = ? COLLATE NOCASE AND type <> 'trigger'");
    s.bind(1, name);
    if (!s.step())
        return false;
    const std::string type = s.text(0);
    if (type != "table" || s.text(1).starts_with("CREATE VIRTUAL")) {
        const std::string instead =
            type == "table" ? std::string(upkeep_text::kVirtualTable) : type;
        throw RefusedBackup(RefusedBackup::Reason::NotATable,
                            upkeep_text::notATable(shown, name, instead), shown, name, instead);
    }
    return true;
}

} // namespace

std::map<std::string, std::int64_t> loadIntoPostgres(const std::string& rebuilt,
                                                     const std::string& location, bool replace,
                                                     const std::string& detail) {
    Database target(location);
    Connection& pg = target.connection();
    const auto source = openSqliteFile(rebuilt, SqliteFile::readOnly);
    Statement alone(pg, lockCall("pg_try_advisory_lock", AdvisoryLock::serving));
    alone.step();
    if (alone.integer(0) == 0)
        throw RestoreRefused(RestoreRefused::Kind::ServersConnected,
                             upkeep_text::serversConnected(shownLocation(location)),
                             shownLocation(location));
    std::map<std::string, std::int64_t> counts;
    Transaction transaction(pg);
    const std::vector<std::string> tables = tablesOf(*source, "main");
    if (replace) {
        dropPostgresSchema(pg);
        createPostgresSchema(pg);
    } else {
        for (const std::string& table : tables) {
            Statement any(pg, "SELECT count(*) FROM " + quoted(table));
            any.step();
            if (const std::int64_t rows = any.integer(0); rows > 0)
                throw RestoreRefused(
                    RestoreRefused::Kind::NotEmpty,
                    upkeep_text::databaseNotEmpty(shownLocation(location), table, rows),
                    shownLocation(location), table, rows);
        }
    }
    for (const std::string& table : tables) {
        const std::vector<Column> columns = columnsOf(*source, table);
        const std::string list = columnList(columns);
        std::string row = "(";
        for (std::size_t i = 0; i < columns.size(); ++i)
            row += i == 0 ? "?" : ", ?";
        row += ")";
        Statement read(*source, "SELECT " + list + " FROM main." + quoted(table));
        // Rows go in batches: one INSERT of many rows is one round trip.
        std::vector<std::vector<Value>> batch;
        std::size_t bytes = 0;
        std::int64_t copied = 0;
        const auto flush = [&] {
            if (batch.empty())
                return;
            std::string sql = "INSERT INTO " + quoted(table) + " (" + list + ") VALUES ";
            for (std::size_t r = 0; r < batch.size(); ++r)
                sql += (r == 0 ? "" : ", ") + row;
            Statement insert(pg, sql);
            int at = 1;
            for (const auto& values : batch)
                for (std::size_t i = 0; i < values.size(); ++i)
                    bindValue(insert, at++, columns[i], values[i]);
            insert.step();
            copied += static_cast<std::int64_t>(batch.size());
            batch.clear();
            bytes = 0;
        };
        while (read.step()) {
            std::vector<Value> values;
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const int col = static_cast<int>(i);
                if (columns[i].type == "INTEGER")
                    values.push_back({read.integer(col), {}});
                else
                    values.push_back({0, read.text(col)});
                bytes += values.back().bytes.size();
            }
            batch.push_back(std::move(values));
            if (static_cast<int>(batch.size()) == kRowsPerInsert || bytes >= kBytesPerInsert)
                flush();
        }
        flush();
        Statement count(pg, "SELECT count(*) FROM " + quoted(table));
        count.step();
        if (count.integer(0) != copied)
            throw StoreError(upkeep_text::rowsDiffer(table, copied, count.integer(0)));
        counts[table] = copied;
    }
    // No number the backup's server gave is given again.
    pg.keepNumbersAbove(source->highestNumbers());
    // As a restore into a state directory: no session of the backup's day,
    // nor a sign-in code used since, opens the pages again.
    pg.exec("DELETE FROM admin_sessions");
    counts.erase("admin_sessions");
    // The day's backup, if a server made one, was of what the restore
    // replaced (on a new machine, of the empty database): the first server
    // to start makes it again, of the restored data.
    pg.exec("DELETE FROM pelvoran_daily_backups");
    // The backup's own log goes on, saying what came back.
    target.audit().append(upkeep_text::kRestoredAction, detail, kByCommandLine);
    transaction.commit();
    return counts;
}

RebuiltDatabase rebuildFromBackup(const std::string& backup, const std::string& fresh,
                                  const std::string& shown) {
    RebuiltDatabase r;
    {
        const auto db = openBackup(backup, shown);
        const FileCheck check = checkFile(*db, true);
        const std::string problem = !check.ranThrough        ? check.why
                                    : check.problems.empty() ? ""
                                                             : check.problems.front();
        if (!problem.empty())
            throw RefusedBackup(RefusedBackup::Reason::Damaged,
                                upkeep_text::damagedBackup(shown, problem), shown, "", problem);
        r.schema = backupSchema(*db, shown);
    }
    const auto created = openSqliteFile(fresh, SqliteFile::create);
    Connection& db = *created;
    {
        // This server's own schema as it was at the backup's version: its
        // tables, indexes and triggers, never the file's.
        Transaction schema(db);
        runMigrations(db, 0, static_cast<int>(r.schema));
        db.exec("PRAGMA user_version=" + std::to_string(r.schema));
        schema.commit();
    }

    Statement attach(db, "ATTACH ? AS backup");
    attach.bind(1, backupUri(backup));
    attach.step();
    Transaction rows(db);
    for (const std::string& table : tablesOf(db, "main")) {
        if (!plainTable(db, "backup", table, shown))
            throw RefusedBackup(RefusedBackup::Reason::TableMissing,
                                upkeep_text::tableMissing(shown, table), shown, table);
        std::string columns;
        Statement info(db, "SELECT name FROM pragma_table_info(?, 'main')");
        info.bind(1, table);
        while (info.step())
            columns += (columns.empty() ? "" : ", ") + quoted(info.text(0));
        try {
            db.exec("INSERT INTO main." + quoted(table) + " (" + columns + ") SELECT " + columns +
                    " FROM backup." + quoted(table));
        } catch (const StoreError& e) {
            if (failedForWantOfResources(db))
                throw;
            throw RefusedBackup(RefusedBackup::Reason::TableDiffers,
                                upkeep_text::tableDiffers(shown, table, e.what()), shown, table,
                                e.what());
        }
    }
    // The highest number each table ever gave, above those of rows deleted since.
    db.keepNumbersAbove(openBackup(backup, shown)->highestNumbers());
    {
        Statement orphans(db, "SELECT \"table\", parent FROM pragma_foreign_key_check");
        if (orphans.step())
            throw RefusedBackup(RefusedBackup::Reason::OrphanRow,
                                upkeep_text::orphanRow(shown, orphans.text(0), orphans.text(1)),
                                shown, orphans.text(0), orphans.text(1));
    }
    {
        // The table of the files a backup carries, read below, is no leftover.
        Statement extra(db, "SELECT b.type, b.name FROM backup.sqlite_schema b WHERE (b.tbl_name "
                            "<> 'state_files' OR b.type NOT IN ('table', 'index')) AND NOT "
                            "EXISTS (SELECT 1 FROM main.sqlite_schema m WHERE m.type = b.type "
                            "AND m.name = b.name) ORDER BY b.rowid");
        while (extra.step())
            r.leftOut.push_back(extra.text(0) + " " + extra.text(1));
    }
    if (plainTable(db, "backup", "state_files", shown)) {
        Statement files(db, "SELECT name, mode, sha256, data, length(data) FROM "
                            "backup.state_files ORDER BY rowid");
        while (files.step()) {
            if (r.files.size() == kMaxStateFiles || files.integer(4) > kMaxStateFileBytes)
                throw RefusedBackup(RefusedBackup::Reason::StateFilesTooLarge,
                                    upkeep_text::stateFilesTooLarge(shown), shown);
            r.files.push_back({files.text(0), static_cast<unsigned>(files.integer(1) & 07777),
                               files.text(2), files.text(3)});
        }
    }
    // Brought up to date as the rows it holds are, so that a backup of an
    // older server restores into PostgreSQL as into a state directory.
    runMigrations(db, static_cast<int>(r.schema));
    db.exec("PRAGMA user_version=" + std::to_string(knownSchemaVersion()));
    rows.commit();
    db.exec("DETACH backup");
    return r;
}

void addStateFiles(const std::string& path, const std::vector<StateFile>& files) {
    const auto db = openSqliteFile(path, SqliteFile::readWrite);
    Transaction transaction(*db);
    db->exec("CREATE TABLE state_files (name TEXT PRIMARY KEY, mode INTEGER NOT NULL, "
             "sha256 TEXT NOT NULL, data BLOB NOT NULL)");
    Statement add(*db, "INSERT INTO state_files (name, mode, sha256, data) VALUES (?, ?, ?, ?)");
    for (const StateFile& f : files) {
        add.bind(1, f.name);
        add.bind(2, std::int64_t{f.mode});
        add.bind(3, f.sha256);
        add.bindBlob(4, f.data);
        add.step();
        add.reset();
    }
    transaction.commit();
}

std::vector<std::string> stateFileNames(const std::string& path) {
    const auto db = openBackup(path, path);
    std::vector<std::string> names;
    if (!plainTable(*db, "main", "state_files", path))
        return names;
    Statement s(*db, "SELECT name FROM state_files ORDER BY rowid");
    while (s.step())
        names.push_back(s.text(0));
    return names;
}

std::map<std::string, std::int64_t> highestNumbers(const std::string& path) {
    // Read and write, as the last connection to close folds the write-ahead
    // log into the file: the replaced database is kept as one file.
    return openSqliteFile(path, SqliteFile::readWrite)->highestNumbers();
}

std::vector<StoredComment> backupComments(const std::string& path, const std::string& shown,
                                          std::optional<std::chrono::sys_seconds> since) {
    const auto db = openBackup(path, shown);
    const std::int64_t schema = backupSchema(*db, shown);
    if (!plainTable(*db, "main", "comments", shown))
        throw RefusedBackup(RefusedBackup::Reason::TableMissing,
                            upkeep_text::tableMissing(shown, "comments"), shown, "comments");
    // Read marks and the bot flag came with the second schema, held
    // comments with the thirteenth, reply keys with the fourteenth.
    Statement s(*db, std::string("SELECT id, received, text, source, ") +
                         (schema >= 2 ? "read, flagged" : "0, 0") +
                         (schema >= 13 ? ", held" : ", ''") +
                         (schema >= 14 ? ", reply_key <> ''" : ", 0") +
                         " FROM comments WHERE received >= ? ORDER BY received DESC, id DESC");
    s.bind(1, since.value_or(std::chrono::sys_seconds::min()));
    std::vector<StoredComment> out;
    while (s.step())
        out.push_back({s.integer(0), s.seconds(1), s.utf16(2), s.text(3), s.integer(4) != 0,
                       s.integer(5) != 0, s.text(6), s.integer(7) != 0});
    return out;
}

} // namespace pelvoran::server
