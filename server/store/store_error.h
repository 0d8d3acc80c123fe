#pragma once

#include <stdexcept>

namespace pelvoran::server {

/// The database could not do what was asked; what() says why, for the log.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A commit whose outcome is not what it should be: PostgreSQL kept it on
/// the primary, its synchronous standby never confirmed it, and it was
/// cancelled (or the connection given up) at the deadline. The comments in
/// it are answered as not stored, and may be there.
class UncertainCommit : public StoreError {
public:
    using StoreError::StoreError;
};

/// A backup this server will not read: damaged, not this server's, of a
/// newer server, or not as this server writes it; what() says why, naming
/// the file.
class RefusedBackup : public StoreError {
public:
    using StoreError::StoreError;
};

} // namespace pelvoran::server
