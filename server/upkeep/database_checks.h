#pragma once

#include "server/engine/store_error.h"

#include <cstdint>
#include <string>
#include <utility>

namespace pelvoran::server {

/// A database file nothing should be served from, or that could not be
/// looked at: what() says why for the log, naming the file; the rest says
/// it to those who word it for people, with what to do.
class DatabaseFileRefused : public StoreError {
public:
    enum class Kind {
        Empty,       // emptied to 0 bytes
        CannotOpen,  // detail: why
        ReadOnly,    // this process may not write it
        NotOurs,     // detail: SQLite's reason
        Damaged,     // detail: the first problem found
        CannotCheck, // detail: why the check did not run through
    };

    /// `file`: the file as the refusal names it; `backups`: the folder of
    /// its backups.
    DatabaseFileRefused(Kind kind, const std::string& what, std::string file, std::string backups,
                        std::string detail = "")
        : StoreError(what), kind_(kind), file_(std::move(file)), backups_(std::move(backups)),
          detail_(std::move(detail)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& file() const noexcept { return file_; }
    const std::string& backups() const noexcept { return backups_; }
    const std::string& detail() const noexcept { return detail_; }

private:
    Kind kind_;
    std::string file_, backups_, detail_;
};

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

/// Refuses, naming `shown` (the file's real path), a database file nothing
/// should be served from: one emptied to 0 bytes, one this process may not
/// write, one that SQLite's check finds damaged. At serve's start, damage
/// that lies only in indexes is mended (a copy set aside in backups/,
/// REINDEX, the full check again) and said in the log. A file that does not
/// exist yet passes: opening creates it. Throws DatabaseFileRefused, or
/// StoreError for a database of a newer server.
void checkDatabase(const std::string& path, const std::string& shown,
                   DatabaseCheck check = DatabaseCheck::Quick);

} // namespace pelvoran::server
