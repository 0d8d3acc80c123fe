#include "server/engine/sqlite_support.h"

#include "server/engine/engine_texts.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

class SqliteStatement final : public StatementImpl {
public:
    SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
        if (const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db, rc));
    }
    ~SqliteStatement() override { sqlite3_finalize(stmt_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    void bind(int i, std::int64_t v) override { check(sqlite3_bind_int64(stmt_, i, v)); }
    void bind(int i, const std::string& v) override {
        check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bindBlob(int i, const std::string& v) override {
        check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    bool step() override {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw StoreError(sqliteErrorText(db_, rc));
        return false;
    }
    void reset() override {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int col) override { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) override {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db_, rc));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace

std::unique_ptr<StatementImpl> SqliteConnection::prepare(const std::string& sql) const {
    return std::make_unique<SqliteStatement>(db_, sql.c_str());
}

int SqliteConnection::schemaVersion() {
    Statement s(*this, "PRAGMA user_version");
    s.step();
    return static_cast<int>(s.integer(0));
}

void SqliteConnection::migrate() {
    const int latest = knownSchemaVersion();
    if (schemaVersion() == latest)
        return; // the common case begins no transaction
    Transaction transaction(*this);
    const int version = schemaVersion();
    if (version > latest)
        throw StoreError(newerSchemaText(engine_text::kDatabase, version));
    runMigrations(*this, version);
    if (version != latest)
        exec("PRAGMA user_version=" + std::to_string(latest));
    transaction.commit();
}

} // namespace pelvoran::server
