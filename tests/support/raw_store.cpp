#include "tests/support/raw_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

namespace pelvoran::test {

struct RawStore::Handle {
    sqlite3* sqlite = nullptr;
    PGconn* pg = nullptr;
    ~Handle() {
        sqlite3_close(sqlite);
        PQfinish(pg);
    }
};

RawStore::RawStore(const std::string& location) : handle_(std::make_unique<Handle>()) {
    if (location.starts_with("postgresql://"))
        handle_->pg = PQconnectdb(location.c_str());
    else
        sqlite3_open(location.c_str(), &handle_->sqlite);
}

RawStore::~RawStore() = default;

bool RawStore::exec(const std::string& sql) {
    if (handle_->sqlite != nullptr) {
        const bool ok =
            sqlite3_exec(handle_->sqlite, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        error_ = ok ? "" : sqlite3_errmsg(handle_->sqlite);
        return ok;
    }
    PGresult* r = PQexec(handle_->pg, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    error_ = ok ? "" : PQresultErrorMessage(r);
    PQclear(r);
    return ok;
}

std::vector<std::string> RawStore::texts(const std::string& sql) {
    std::vector<std::string> out;
    if (handle_->sqlite != nullptr) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(handle_->sqlite, sql.c_str(), -1, &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(s, 0);
            out.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        sqlite3_finalize(s);
        return out;
    }
    PGresult* r = PQexec(handle_->pg, sql.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK)
        for (int i = 0; i < PQntuples(r); ++i)
            out.emplace_back(PQgetvalue(r, i, 0));
    else
        error_ = PQresultErrorMessage(r);
    PQclear(r);
    return out;
}

std::int64_t RawStore::scalar(const std::string& sql) {
    if (handle_->sqlite != nullptr) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(handle_->sqlite, sql.c_str(), -1, &s, nullptr);
        const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_finalize(s);
        return n;
    }
    PGresult* r = PQexec(handle_->pg, sql.c_str());
    std::int64_t n = -1;
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0)
        n = std::stoll(PQgetvalue(r, 0, 0));
    else
        error_ = PQresultErrorMessage(r);
    PQclear(r);
    return n;
}

} // namespace pelvoran::test
