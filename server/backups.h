#pragma once

#include <string>

namespace pelvoran::server {

class Database;

/// Writes all of `bytes` to `fd` and syncs it; throws StoreError otherwise.
void writeAndSync(int fd, const std::string& bytes);

/// Keeps one backup a day in `stateDir`/backups, the last seven days; each
/// file is either whole or absent.
void dailyBackup(const std::string& stateDir, Database& db);

} // namespace pelvoran::server
