#include "server/store/transaction.h"

#include "server/store/sqlite_support.h"

namespace pelvoran::server {

Transaction::Transaction(Connection& connection) : connection_(&connection) {
    connection_->exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    // Its error is no news: a failed statement may have ended the
    // transaction already.
    if (connection_ != nullptr)
        sqlite3_exec(connection_->get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    connection_->exec("COMMIT");
    connection_ = nullptr;
}

void Transaction::rollback() {
    connection_->exec("ROLLBACK");
    connection_ = nullptr;
}

} // namespace pelvoran::server
