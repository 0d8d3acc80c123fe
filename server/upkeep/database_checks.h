#pragma once

#include <cstdint>
#include <string>

namespace pelvoran::server {

/// How far checkDatabase looks.
enum class DatabaseCheck {
    Quick,   // PRAGMA quick_check: every command
    AtStart, // serve's start: the full check up to kFullCheckAtStart, index damage mended
};

/// The largest database whose full check (PRAGMA integrity_check, which
/// also compares every index with its table) serve waits for as it starts:
/// about a second on a server's disk. A larger one gets quick_check at the
/// start and the full check in the daily job, which begins at once.
inline constexpr std::uintmax_t kFullCheckAtStart = std::uintmax_t{256} << 20;

/// The name in backups/ (strftime, local time) of the copy of a database
/// set aside before its indexes are built again.
inline constexpr char kIndexDamagedName[] = "index-damaged-%Y-%m-%d-%H%M%S.sqlite";

/// Refuses, with a message for the publisher that names `shown` (the file's
/// real path), a database file nothing should be served from: one emptied to
/// 0 bytes, one this process may not write, one that SQLite's check finds
/// damaged. At serve's start, damage that lies only in indexes is mended
/// (a copy set aside in backups/, REINDEX, the full check again) and said in
/// the log. A file that does not exist yet passes: opening creates it.
/// Throws StoreError.
void checkDatabase(const std::string& path, const std::string& shown,
                   DatabaseCheck check = DatabaseCheck::Quick);

} // namespace pelvoran::server
