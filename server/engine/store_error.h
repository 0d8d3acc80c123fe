#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace pelvoran::server {

/// The database could not do what was asked; what() says why, for the log.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    /// `said`: what anyone may read of it (/healthz), when what() names
    /// where the database is or quotes the database server: a phrase of
    /// the program's own.
    StoreError(const std::string& what, const char* said) : std::runtime_error(what), said_(said) {}

    /// What anyone may read: `said`, or what() when none was given.
    const char* said() const noexcept { return said_ != nullptr ? said_ : what(); }

private:
    const char* said_ = nullptr; // a literal's
};

/// A commit whose outcome is not what it should be: PostgreSQL kept it on
/// the primary, its synchronous standby never confirmed it, and it was
/// cancelled (or the connection given up) at the deadline. The comments in
/// it are answered as not stored, and may be there.
class UncertainCommit : public StoreError {
public:
    /// `session`: the database server's process that ran the commit, when
    /// it was given up without an answer (its transaction may still end
    /// either way while that process lives); 0 when the commit's answer
    /// came.
    UncertainCommit(const std::string& what, const char* said, std::int64_t session = 0)
        : StoreError(what, said), session_(session) {}

    std::int64_t session() const noexcept { return session_; }

private:
    std::int64_t session_;
};

/// A backup this server will not read: damaged, not this server's, of a
/// newer server, or not as this server writes it; what() says why, naming
/// the file, and the rest says it to those who word it for people.
class RefusedBackup : public StoreError {
public:
    enum class Reason {
        Damaged,            // detail: the first problem SQLite's check found
        NotOurs,            // no schema version of this server's
        Newer,              // of a newer server's schema
        NotATable,          // table: a known name; detail: what the backup holds by it
        TableMissing,       // table
        TableDiffers,       // table; detail: why its rows would not go in
        OrphanRow,          // table; detail: the table its row points at
        StateFilesTooLarge, // more state files, or larger ones, than this server writes
    };

    /// `backup`: the file as the refusal names it.
    RefusedBackup(Reason reason, const std::string& what, std::string backup,
                  std::string table = "", std::string detail = "")
        : StoreError(what), reason_(reason), backup_(std::move(backup)), table_(std::move(table)),
          detail_(std::move(detail)) {}

    Reason reason() const noexcept { return reason_; }
    const std::string& backup() const noexcept { return backup_; }
    const std::string& table() const noexcept { return table_; }
    const std::string& detail() const noexcept { return detail_; }

private:
    Reason reason_;
    std::string backup_, table_, detail_;
};

/// A PostgreSQL location refused before any connection is tried: what()
/// says why for the log; how the publisher should give it instead is for
/// the rooms that took it from them.
class LocationRefused : public StoreError {
public:
    enum class Reason {
        Unparsable, // libpq cannot read it
        Password,   // it carries a password
    };

    /// `location`: as the refusal names it (nothing of it when unparsable).
    LocationRefused(Reason reason, const std::string& what, std::string location = "")
        : StoreError(what), reason_(reason), location_(std::move(location)) {}

    Reason reason() const noexcept { return reason_; }
    const std::string& location() const noexcept { return location_; }

private:
    Reason reason_;
    std::string location_;
};

} // namespace pelvoran::server
