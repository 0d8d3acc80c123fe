#include "tests/support/raw_store.h"

#include "tests/support/raw_database.h"

#include <libpq-fe.h>

namespace pelvoran::test {

struct RawStore::Handle {
    std::unique_ptr<RawDatabase> sqlite;
    PGconn* pg = nullptr;
    ~Handle() { PQfinish(pg); }
};

RawStore::RawStore(const std::string& location) : handle_(std::make_unique<Handle>()) {
    if (location.starts_with("postgresql://"))
        handle_->pg = PQconnectdb(location.c_str());
    else
        handle_->sqlite = std::make_unique<RawDatabase>(location);
}

RawStore::~RawStore() = default;

bool RawStore::exec(const std::string& sql) {
    if (handle_->sqlite) {
        const bool ok = handle_->sqlite->exec(sql) == SQLITE_OK;
        error_ = ok ? "" : handle_->sqlite->error();
        return ok;
    }
    PGresult* r = PQexec(handle_->pg, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    error_ = ok ? "" : PQresultErrorMessage(r);
    PQclear(r);
    return ok;
}

std::vector<std::string> RawStore::texts(const std::string& sql) {
    if (handle_->sqlite)
        return handle_->sqlite->texts(sql.c_str());
    std::vector<std::string> out;
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
    if (handle_->sqlite)
        return handle_->sqlite->scalar(sql.c_str());
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
