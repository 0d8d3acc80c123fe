#pragma once

namespace pelvoran::server {

class Connection;

/// One write transaction, the only way the server begins one: one writer
/// at a time on either engine, so that a writer waits for another
/// connection's transaction (the busy timeout) before its first statement
/// rather than failing midway; ROLLBACK when it goes out of scope, on every way out,
/// unless commit() was called. Throws StoreError when it cannot begin. On
/// a Database: Transaction(db.connection()).
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    /// Makes the work durable. Throws StoreError; the transaction is then
    /// still open, and rolled back at the scope's end.
    void commit();
    /// Undoes the work now rather than at the scope's end. Throws StoreError.
    void rollback();

private:
    Connection* connection_; // null once committed or rolled back
};

} // namespace pelvoran::server
