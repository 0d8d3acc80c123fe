#pragma once

#include "server/engine/store_time.h"

#include <cstddef>
#include <string>

namespace pelvoran::server {

class Connection;

/// The admin pages' sessions, each by the digest `key` of its cookie and
/// with its end: they outlive a restart, and a copy of the database opens
/// none of them. Beside them, in the same table under keys of their own,
/// the one-time sign-in codes waiting to be traded for a session: neither
/// counts against the other's limit, so that no number of sessions pushes
/// out a code just made, nor codes a session in use.
class SessionStore {
public:
    explicit SessionStore(Connection& connection) : connection_(connection) {}

    /// Adds a session that lasts until `expires`, keeping `keep` at most:
    /// those used longest ago go.
    void add(const std::string& key, MillisTime expires, std::size_t keep);
    /// Whether the session `key` lasts at `now`; it counts as used now. Ended
    /// sessions are forgotten.
    bool use(const std::string& key, MillisTime now);
    void end(const std::string& key);
    /// Ends every session and forgets every code.
    void endAll();

    /// Adds the sign-in code of digest `code`, good until `expires`, keeping
    /// `keep` codes at most: the oldest go, and so do those past their end.
    void addCode(const std::string& code, MillisTime expires, std::size_t keep);
    /// Takes the code `code` and, in the same transaction, adds the session
    /// `key` as `add` does: true when the code was there and lasts at `now`.
    /// A code is taken once, however many ask for it at the same time.
    bool trade(const std::string& code, MillisTime now, const std::string& key, MillisTime expires,
               std::size_t keep);

private:
    Connection& connection_;
};

} // namespace pelvoran::server
