// Opening the server's database by its location: the engine chosen there.

#include "server/engine/postgres.h"
#include "server/engine/sqlite_support.h"

namespace pelvoran::server {

bool isPostgresLocation(const std::string& location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::string shownLocation(const std::string& location) {
    return isPostgresLocation(location) ? shownPostgres(location) : location;
}

std::unique_ptr<Connection> openConnection(const std::string& location,
                                           std::chrono::milliseconds busyTimeout,
                                           Deadline deadline) {
    if (isPostgresLocation(location))
        return std::make_unique<PgConnection>(location, busyTimeout, deadline);
    keepPrivate(location);
    auto connection = std::make_unique<SqliteConnection>(
        openConnection(location, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    // A writer waits this long for another connection's transaction.
    sqlite3_busy_timeout(connection->get(), static_cast<int>(busyTimeout.count()));
    connection->exec("PRAGMA journal_mode=WAL");
    connection->exec("PRAGMA synchronous=FULL");
    connection->exec("PRAGMA foreign_keys=ON");
    // What is deleted is overwritten, not only unlinked.
    connection->exec("PRAGMA secure_delete=ON");
    return connection;
}

} // namespace pelvoran::server
