// What the stores ask of PostgreSQL where its SQL differs from SQLite's, and
// what the servers of one database agree on there.

#include "server/engine/engine_texts.h"
#include "server/engine/postgres.h"
#include "server/engine/sqlite_copy.h"
#include "server/support/log.h"

namespace pelvoran::server {
namespace {

/// The tables of the current schema whose id a sequence gives, by name.
std::vector<std::string> numberingTables(Connection& pg) {
    Statement s(pg, "SELECT table_name FROM information_schema.columns WHERE table_schema = "
                    "current_schema() AND column_name = 'id' AND (is_identity = 'YES' OR "
                    "column_default LIKE 'nextval(%') ORDER BY table_name");
    std::vector<std::string> tables;
    while (s.step())
        tables.push_back(s.text(0));
    return tables;
}

/// The servers of one database agree in its tables and advisory locks.
class PgPeers final : public ServerPeers {
public:
    explicit PgPeers(PgConnection& pg) : pg_(pg) {}

    std::optional<std::pair<std::string, unsigned>> sharedFile(const std::string& name) override {
        Statement s(pg_, "SELECT data, mode FROM pelvoran_state_files WHERE name = ?");
        s.bind(1, name);
        if (!s.step())
            return std::nullopt;
        return std::pair{s.text(0), static_cast<unsigned>(s.integer(1) & 07777)};
    }
    std::string shareFile(const std::string& name, const std::string& data,
                          unsigned mode) override {
        Statement s(pg_, "INSERT INTO pelvoran_state_files (name, mode, data) VALUES "
                         "(?, ?, ?) ON CONFLICT DO NOTHING");
        s.bind(1, name);
        s.bind(2, std::int64_t{mode});
        s.bindBlob(3, data);
        s.step();
        return sharedFile(name).value_or(std::pair{data, mode}).first;
    }
    bool claimDailyBackup(std::chrono::sys_days day, bool) override {
        Statement s(pg_, "INSERT INTO pelvoran_daily_backups (day) VALUES (?) "
                         "ON CONFLICT DO NOTHING");
        s.bind(1, std::int64_t{day.time_since_epoch().count()});
        s.step();
        return pg_.changes() == 1;
    }
    void holdServing() override { pg_.holdShared(AdvisoryLock::serving); }

private:
    PgConnection& pg_;
};

} // namespace

std::string PgConnection::textContains(const std::string& column,
                                       const std::string& parameter) const {
    return "strpos(" + column + ", " + parameter + ") > 0";
}

std::string PgConnection::claimRows(const std::string& table) const {
    return " FOR UPDATE OF " + table + " SKIP LOCKED";
}

std::int64_t PgConnection::highestNumber(const std::string& table) {
    Statement s(*this, "SELECT greatest(coalesce(pg_sequence_last_value(pg_get_serial_sequence("
                       "?, 'id')::regclass), 0), coalesce((SELECT max(id) FROM " +
                           quoted(table) + "), 0))");
    s.bind(1, table);
    s.step();
    return s.integer(0);
}

std::map<std::string, std::int64_t> PgConnection::highestNumbers() {
    std::map<std::string, std::int64_t> highest;
    for (const std::string& table : numberingTables(*this))
        highest[table] = highestNumber(table);
    return highest;
}

void PgConnection::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    Statement raise(*this, "SELECT setval(pg_get_serial_sequence(?1, 'id')::regclass, "
                           "greatest(?2, coalesce(pg_sequence_last_value(pg_get_serial_sequence("
                           "?1, 'id')::regclass), 0)))");
    for (const std::string& table : numberingTables(*this)) {
        const auto number = numbers.find(table);
        if (number == numbers.end() || number->second < 1)
            continue;
        raise.bind(1, table);
        raise.bind(2, number->second);
        raise.step();
        raise.reset();
    }
}

Remnant PgConnection::compactAfterDeletion(const std::vector<std::string>& tables) {
    // A deleted row stays in its table's file until VACUUM FULL writes the
    // table anew and truncates the old file. It locks the table meanwhile,
    // waiting for the lock and writing included: it may take half as long as
    // a writer waits for that lock, so that a comment arriving meanwhile
    // waits behind it and is never refused. A table too large to be written
    // anew in that time keeps the deleted text, and the caller says so.
    const auto limits = [this](std::int64_t lockMs, std::int64_t statementMs) {
        exec("SET lock_timeout = " + std::to_string(std::max<std::int64_t>(1, lockMs)) +
             "; SET statement_timeout = " + std::to_string(std::max<std::int64_t>(0, statementMs)));
    };
    Remnant left = Remnant::none;
    try {
        limits(busyTimeout_.count() / 2, busyTimeout_.count() / 2);
        for (const std::string& table : tables)
            exec("VACUUM (FULL) " + quoted(table));
    } catch (const StoreError& e) {
        // The deletion stands; only the old file's bytes wait for the next one.
        std::string named;
        for (const std::string& table : tables)
            named += (named.empty() ? "" : ", ") + quoted(table);
        logError(engine_text::vacuumNotDone(e.what(), named));
        left = Remnant::tableFiles;
    }
    try {
        limits(busyTimeout_.count(), 0);
    } catch (const StoreError&) {
        // A connection made again sets them anew.
    }
    return left;
}

std::int64_t PgConnection::changeCounter() {
    Statement s(*this, "SELECT n FROM pelvoran_changes");
    s.step();
    return s.integer(0);
}

void PgConnection::interrupt() {
    // The server may not answer the cancel: past the deadline, the
    // connection is given up.
    setDeadline(std::chrono::steady_clock::now());
    cancel();
}

std::optional<std::int64_t> PgConnection::serverBytes() {
    Statement s(*this, "SELECT pg_database_size(current_database())");
    s.step();
    return s.integer(0);
}

std::optional<SynchronousStandbys> PgConnection::synchronousStandbys() {
    Statement s(*this, "SELECT current_setting('synchronous_standby_names'), (SELECT count(*) FROM "
                       "pg_stat_replication WHERE sync_state IN ('sync', 'quorum'))");
    s.step();
    return SynchronousStandbys{s.text(0), s.integer(1)};
}

void PgConnection::copyInto(const std::string& path) {
    copyPostgresInto(*this, path);
}

ServerPeers& PgConnection::peers() {
    if (!peers_)
        peers_ = std::make_unique<PgPeers>(*this);
    return *peers_;
}

} // namespace pelvoran::server
