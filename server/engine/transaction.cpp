#include "server/engine/transaction.h"

#include "server/engine/sql.h"

namespace pelvoran::server {

Transaction::Transaction(Connection& connection) : connection_(&connection) {
    connection_->beginWrite();
}

Transaction::~Transaction() {
    // Its error is no news: a failed statement may have ended the
    // transaction already.
    if (connection_ != nullptr)
        connection_->rollbackQuietly();
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
