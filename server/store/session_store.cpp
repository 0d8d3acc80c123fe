#include "server/store/session_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

/// The keys of codes begin with it; a session's, a digest in hex, never does.
const std::string kCodePrefix = "code:";
const std::string kIsCode = "key LIKE '" + kCodePrefix + "%'";

/// Adds a session, in the caller's transaction (SessionStore::add).
void addSession(Connection& connection, const std::string& key, MillisTime expires,
                std::size_t keep) {
    Statement drop(connection, "DELETE FROM admin_sessions WHERE NOT " + kIsCode +
                                   " AND key NOT IN (SELECT key FROM admin_sessions WHERE NOT " +
                                   kIsCode + " ORDER BY used DESC LIMIT ?)");
    drop.bind(1, static_cast<std::int64_t>(keep > 0 ? keep - 1 : 0));
    drop.step();
    Statement add(connection, "INSERT INTO admin_sessions (key, expires, used) VALUES (?, ?, "
                              "(SELECT coalesce(max(used), 0) + 1 FROM admin_sessions)) ON "
                              "CONFLICT (key) DO UPDATE SET expires = excluded.expires, used = "
                              "excluded.used");
    add.bind(1, key);
    add.bind(2, expires);
    add.step();
}

} // namespace

void SessionStore::add(const std::string& key, MillisTime expires, std::size_t keep) {
    Transaction transaction(connection_);
    addSession(connection_, key, expires, keep);
    transaction.commit();
}

bool SessionStore::use(const std::string& key, MillisTime now) {
    Transaction transaction(connection_);
    Statement expired(connection_, "DELETE FROM admin_sessions WHERE expires <= ?");
    expired.bind(1, now);
    expired.step();
    Statement use(connection_, "UPDATE admin_sessions SET used = (SELECT max(used) + 1 FROM "
                               "admin_sessions) WHERE key = ?");
    use.bind(1, key);
    use.step();
    const bool live = connection_.changes() == 1;
    transaction.commit();
    return live;
}

void SessionStore::end(const std::string& key) {
    Statement s(connection_, "DELETE FROM admin_sessions WHERE key = ?");
    s.bind(1, key);
    s.step();
}

void SessionStore::endAll() {
    connection_.exec("DELETE FROM admin_sessions");
}

void SessionStore::addCode(const std::string& code, MillisTime expires, std::size_t keep) {
    Transaction transaction(connection_);
    Statement drop(connection_, "DELETE FROM admin_sessions WHERE " + kIsCode +
                                    " AND key NOT IN (SELECT key FROM admin_sessions WHERE " +
                                    kIsCode + " ORDER BY used DESC LIMIT ?)");
    drop.bind(1, static_cast<std::int64_t>(keep > 0 ? keep - 1 : 0));
    drop.step();
    Statement add(connection_, "INSERT INTO admin_sessions (key, expires, used) VALUES (?, ?, "
                               "(SELECT coalesce(max(used), 0) + 1 FROM admin_sessions))");
    add.bind(1, kCodePrefix + code);
    add.bind(2, expires);
    add.step();
    transaction.commit();
}

bool SessionStore::trade(const std::string& code, MillisTime now, const std::string& key,
                         MillisTime expires, std::size_t keep) {
    Transaction transaction(connection_);
    bool live = false;
    {
        // Gone for whoever asks next, whether it still lasted or not.
        Statement take(connection_, "DELETE FROM admin_sessions WHERE key = ? RETURNING expires");
        take.bind(1, kCodePrefix + code);
        live = take.step() && take.millis(0) > now;
    }
    if (live)
        addSession(connection_, key, expires, keep);
    transaction.commit();
    return live;
}

} // namespace pelvoran::server
