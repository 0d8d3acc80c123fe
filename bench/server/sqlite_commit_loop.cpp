// The most durable single commits SQLite gives on this disk: one short row per
// transaction into a fresh database in WAL mode with synchronous=FULL, so each
// COMMIT waits for its fsync. This is the rate a server committing comments
// one at a time could reach; server_bench.sh sets the comment endpoint beside it.
//
//   sqlite_commit_loop DIR [SECONDS] [MAX_COMMITS]
//
// Creates DIR/loop.db (DIR must exist and hold no such file), commits until
// SECONDS (default 10) have passed or MAX_COMMITS (default 1000000) rows are in,
// and prints one line: "commits N seconds S commits_per_s R".

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

bool exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite_commit_loop: %s: %s\n", sql, error ? error : "?");
        sqlite3_free(error);
        return false;
    }
    return true;
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
        std::fprintf(stderr, "usage: sqlite_commit_loop DIR [SECONDS] [MAX_COMMITS]\n");
        return 2;
    }
    const std::string path = std::string(argv[1]) + "/loop.db";
    const long seconds = argument(argc > 2 ? argv[2] : nullptr, 10);
    const long maxCommits = argument(argc > 3 ? argv[3] : nullptr, 1000000);

    if (std::filesystem::exists(path)) {
        std::fprintf(stderr, "sqlite_commit_loop: %s exists; give an empty directory\n",
                     path.c_str());
        return 2;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::fprintf(stderr, "sqlite_commit_loop: cannot open %s: %s\n", path.c_str(),
                     db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return 1;
    }
    if (!exec(db, "PRAGMA journal_mode=WAL") || !exec(db, "PRAGMA synchronous=FULL") ||
        !exec(db, "CREATE TABLE comment(id INTEGER PRIMARY KEY, received INTEGER NOT NULL, "
                  "text TEXT NOT NULL)")) {
        sqlite3_close(db);
        return 1;
    }

    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO comment(received, text) VALUES(?1, ?2)", -1, &insert,
                           nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite_commit_loop: prepare: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
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
        // One row per transaction, as a request handler committing alone would.
        if (!exec(db, "BEGIN IMMEDIATE")) {
            sqlite3_close(db);
            return 1;
        }
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(std::time(nullptr)));
        sqlite3_bind_text(insert, 2, row.data(), static_cast<int>(row.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "sqlite_commit_loop: insert: %s\n", sqlite3_errmsg(db));
            sqlite3_close(db);
            return 1;
        }
        sqlite3_reset(insert);
        if (!exec(db, "COMMIT")) {
            sqlite3_close(db);
            return 1;
        }
        ++commits;
        now = Clock::now();
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    std::printf("commits %ld seconds %.3f commits_per_s %.1f\n", commits, elapsed,
                elapsed > 0 ? static_cast<double>(commits) / elapsed : 0.0);
    return 0;
}
