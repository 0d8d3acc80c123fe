#pragma once

#include "server/cli/command_support.h"
#include "server/store/store.h"
#include "server/support/fd.h"
#include "server/upkeep/database_checks.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace pelvoran::server {

/// Where the state lives when --state is not given: the packaged service's
/// state directory (a build setting).
inline constexpr char kDefaultState[] = PELVORAN_SERVER_STATE_DIR;

/// The system user the package makes where systemd does not run the
/// service: its state directory belongs to it, and so does one that serve,
/// started by root, creates.
inline constexpr char kServiceUser[] = "pelvoran-server";

/// The state directory as a command found it.
struct StateDir {
    std::string path;  // to work with; "." once acting as its owner from inside it
    std::string shown; // its real path, for messages
    Fd fd;             // the directory itself, opened before any change of directory or user
    /// The PostgreSQL URI its serve uses (kDatabaseUriFile); empty: the file.
    std::string database;
    bool actAsOwner = false;
    uid_t owner = 0;
    gid_t group = 0;
};

/// How a command takes the state directory it is given.
enum class StateUse {
    Existing, // holds a database: anything else is a mistyped --state
    Serve,    // made when missing
    Restore,  // made when missing; an empty one is filled by the restore
};

/// Finds the state directory named by --state. Serve and restore make a
/// missing directory (only its owner may enter it; made by root, it is
/// kServiceUser's when that user exists and may pass every directory above
/// it, else root's) and say so; a restore also takes an empty one (the
/// package makes it so). Otherwise a directory that does not exist or holds
/// no database is refused as a mistyped --state (UsageError).
StateDir findState(const Parsed& p, StateUse use);

/// Takes the state directory's lock, held until the descriptor closes (by
/// whatever end the process comes to); an invalid Fd when another process
/// holds it. One serve or restore at a time on a state directory; servers
/// on PostgreSQL take it `shared`, any number at once.
Fd lockState(const StateDir& s, bool shared = false);

/// True when a process (a serve) holds the state directory's lock.
bool stateLocked(const StateDir& s);

/// Becomes the owner of the state directory, from inside it, when the
/// command must act as them. For good: see asStateOwner for work that needs
/// the caller's rights afterwards.
void actAsStateOwner(StateDir& s);

/// Refuses a state directory the server could not keep comments in, before
/// anything is served or copied from it; `how` far its database is checked.
void checkState(const StateDir& s, DatabaseCheck how = DatabaseCheck::Quick);

/// The state directory (one serve made), ready for a command that runs in
/// this process.
StateDir enterState(const Parsed& p);

/// For serve: the state directory, created when missing, locked for as long
/// as `lock` stays open (shared by servers on PostgreSQL, which share the
/// work: `shared`), and checked: its path to work with, its
/// real path and its owner. Refuses, run by root, a directory whose owner
/// may not pass every directory above it. Says so when serve stays root
/// (the directory is root's).
StateDir prepareState(const Parsed& p, Fd& lock, bool shared = false);

/// The database of the state directory; a failure names its real path.
std::unique_ptr<Database> openDatabase(const StateDir& s);

/// Runs `work` as the state directory's owner. When that means a change of
/// user, it runs in a process of its own, so that this one keeps the
/// caller's rights for what follows; it reports its own failures there. The
/// exit status of `work`.
int asStateOwner(StateDir& s, const std::function<void()>& work);

} // namespace pelvoran::server
