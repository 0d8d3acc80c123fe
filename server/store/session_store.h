#pragma once

#include "server/store/store_time.h"

#include <cstddef>
#include <string>

namespace pelvoran::server {

class Connection;

/// The admin pages' sessions, each by the digest `key` of its cookie and
/// with its end: they outlive a restart, and a copy of the database opens
/// none of them.
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
    void endAll();

private:
    Connection& connection_;
};

} // namespace pelvoran::server
