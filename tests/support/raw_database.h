#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pelvoran::test {

/// A plain SQLite connection of the test's own, beside the store's.
class RawDatabase {
public:
    explicit RawDatabase(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~RawDatabase() { sqlite3_close(db_); }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;
    int exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    std::int64_t count() { return scalar("SELECT count(*) FROM comments"); }
    /// SQLite's words for the last failure.
    std::string error() const { return sqlite3_errmsg(db_); }
    /// Every row of `table`, each as its values' SQL literals, in order.
    std::vector<std::string> rows(const std::string& table) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, ("SELECT * FROM \"" + table + "\" ORDER BY 1, 2").c_str(), -1, &s,
                           nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const auto* text = sqlite3_column_text(s, i);
                row += (i ? "|" : "") + std::to_string(sqlite3_column_type(s, i)) + ":" +
                       (text ? reinterpret_cast<const char*>(text) : "");
            }
            out.push_back(row);
        }
        sqlite3_finalize(s);
        return out;
    }
    std::vector<std::string> texts(const char* sql) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(s, 0);
            out.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        sqlite3_finalize(s);
        return out;
    }
    std::int64_t scalar(const char* sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_finalize(s);
        return n;
    }

private:
    sqlite3* db_ = nullptr;
};

} // namespace pelvoran::test
