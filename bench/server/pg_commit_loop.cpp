// The most durable single commits a PostgreSQL cluster gives one client: one
// short row per transaction, with synchronous_commit=on, so that each COMMIT
// waits for the primary's WAL flush and, with a synchronous standby, for the
// standby's. Every statement waits for its answer before the next is sent.
// This is the rate a server committing comments one at a time could reach;
// postgres_bench.sh sets the comment endpoint on PostgreSQL beside it.
//
//   pg_commit_loop URI [SECONDS] [MAX_COMMITS]
//
// URI is a libpq connection string of a database that has no table
// "commit_loop" yet; the loop makes it, commits until SECONDS (default 10)
// have passed or MAX_COMMITS (default 1000000) rows are in, counts the rows
// back, and prints one line: "commits N seconds S commits_per_s R".

#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

std::string lastError(PGconn* conn) {
    std::string text = conn ? PQerrorMessage(conn) : "out of memory";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

/// Whether `result` has the status wanted; says why not on stderr. Frees it.
bool succeeded(PGconn* conn, PGresult* result, ExecStatusType wanted, const char* what) {
    const bool ok = result && PQresultStatus(result) == wanted;
    if (!ok) {
        std::string why = result ? PQresultErrorMessage(result) : lastError(conn);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        std::fprintf(stderr, "pg_commit_loop: %s: %s\n", what, why.c_str());
    }
    PQclear(result);
    return ok;
}

bool exec(PGconn* conn, const char* sql) {
    return succeeded(conn, PQexec(conn, sql), PGRES_COMMAND_OK, sql);
}

/// The first column of the first row of `sql`'s answer, or "" on an error
/// (said on stderr).
std::string value(PGconn* conn, const char* sql) {
    PGresult* result = PQexec(conn, sql);
    const bool rows = result && PQresultStatus(result) == PGRES_TUPLES_OK &&
                      PQntuples(result) > 0 && PQnfields(result) > 0;
    const std::string text = rows ? PQgetvalue(result, 0, 0) : "";
    return succeeded(conn, result, PGRES_TUPLES_OK, sql) ? text : std::string();
}

long argument(const char* text, long fallback) {
    if (!text)
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && value > 0) ? value : fallback;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: pg_commit_loop URI [SECONDS] [MAX_COMMITS]\n");
        return 2;
    }
    const long seconds = argument(argc > 2 ? argv[2] : nullptr, 10);
    const long maxCommits = argument(argc > 3 ? argv[3] : nullptr, 1000000);

    // The URI's own settings come after these, and win.
    const char* const keys[] = {"connect_timeout", "application_name", "client_encoding", "dbname",
                                nullptr};
    const char* const values[] = {"10", "pg_commit_loop", "UTF8", argv[1], nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        std::fprintf(stderr, "pg_commit_loop: cannot connect to %s: %s\n", argv[1],
                     lastError(conn).c_str());
        PQfinish(conn);
        return 1;
    }
    // Whatever the cluster's default: each COMMIT waits for the WAL flush,
    // and for the synchronous standby when the primary names one.
    if (!exec(conn, "SET synchronous_commit = on") ||
        value(conn, "SHOW synchronous_commit") != "on") {
        PQfinish(conn);
        return 1;
    }
    if (!exec(conn, "CREATE TABLE commit_loop(id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
                    "received BIGINT NOT NULL, text TEXT NOT NULL)")) {
        std::fprintf(stderr, "pg_commit_loop: give a database without a table commit_loop\n");
        PQfinish(conn);
        return 2;
    }
    if (!succeeded(conn,
                   PQprepare(conn, "insert",
                             "INSERT INTO commit_loop(received, text) VALUES($1::bigint, $2)", 2,
                             nullptr),
                   PGRES_COMMAND_OK, "prepare")) {
        PQfinish(conn);
        return 1;
    }
    // About 40 bytes of text per row: a short comment of Chinese characters in UTF-8.
    const std::string text = "\xE9\x95\x9C\xE5\xA4\xB4\xE5\xBE\x88\xE5\xA5\xBD, "
                             "\xE8\xB0\xA2\xE8\xB0\xA2 -- comment number ";

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    long commits = 0;
    auto now = start;
    while (commits < maxCommits && now < deadline) {
        const std::string row = text + std::to_string(commits);
        const std::string received = std::to_string(static_cast<long long>(std::time(nullptr)));
        const char* const params[] = {received.c_str(), row.c_str()};
        // One row per transaction, as a request handler committing alone would.
        if (!exec(conn, "BEGIN") ||
            !succeeded(conn, PQexecPrepared(conn, "insert", 2, params, nullptr, nullptr, 0),
                       PGRES_COMMAND_OK, "insert") ||
            !exec(conn, "COMMIT")) {
            PQfinish(conn);
            return 1;
        }
        ++commits;
        now = Clock::now();
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    // Every commit that returned is a row.
    const std::string stored = value(conn, "SELECT count(*) FROM commit_loop");
    PQfinish(conn);
    if (stored != std::to_string(commits)) {
        std::fprintf(stderr, "pg_commit_loop: %ld commits returned, but %s rows are stored\n",
                     commits, stored.empty() ? "?" : stored.c_str());
        return 1;
    }
    std::printf("commits %ld seconds %.3f commits_per_s %.1f\n", commits, elapsed,
                elapsed > 0 ? static_cast<double>(commits) / elapsed : 0.0);
    return 0;
}
