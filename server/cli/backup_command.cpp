#include "server/cli/cli_texts.h"
#include "server/cli/command_line.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/engine/sqlite_support.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"
#include "server/support/state_files.h"
#include "server/upkeep/backups.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

/// Where a backup goes: its directory, opened before any change of
/// directory or user, and its name in there.
struct BackupTarget {
    std::string shown; // as the publisher wrote it
    Fd dir;
    bool canSync = true; // a directory opened only as a path cannot be synced
    std::string name;
    std::string parent; // the directory's path
};

BackupTarget backupTarget(const std::string& file) {
    const fs::path path(file);
    BackupTarget t{file, Fd(), true, path.filename().string(), ""};
    if (t.name.empty() || t.name == "." || t.name == "..")
        throw UsageError{cli_text::backupIsDirectory(file), false};
    const std::string parent = path.has_parent_path() ? path.parent_path().string() : ".";
    t.parent = parent;
    t.dir = Fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (t.dir.get() < 0 && errno == EACCES) {
        t.dir = Fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        t.canSync = false;
    }
    if (t.dir.get() < 0)
        throw std::runtime_error(
            cli_text::backupCannotOpenDirectory(parent, systemErrorText(errno)));
    struct stat st {};
    if (::fstatat(t.dir.get(), t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        throw UsageError{cli_text::backupExists(file), false};
    return t;
}

/// SQLite's full check, which also compares every index with its table,
/// before anything is copied: a damaged database is not backed up.
void refuseDamaged(Database& db, const StateDir& state) {
    const auto problems = db.integrityProblems();
    if (problems.empty())
        return;
    throw std::runtime_error(
        cli_text::databaseDamaged(databasePath(state.shown), problems.front()) +
        (indexesOnly(problems) ? std::string(cli_text::kOnlyIndexesDamaged)
                               : cli_text::restoreFromDaily(state.shown + "/" + kBackupsDir)));
}

/// Says which files of the state directory the backup holds, and that one
/// holding the private key is to be kept as safe as the key.
void saySideFiles(const BackupTarget& target) {
    std::vector<std::string> names;
    try {
        names = stateFileNames(target.parent + "/" + target.name);
    } catch (const StoreError&) {
        return; // the backup is whole and in place; only this note is missing
    }
    std::string joined;
    for (const auto& name : names)
        joined += (joined.empty() ? "" : "、") + name;
    if (!joined.empty())
        say(stdout, cli_text::backupHoldsFiles(joined));
    if (std::find(names.begin(), names.end(), kUpdatePrivateKeyFile) != names.end())
        say(stdout, cli_text::backupHoldsPrivateKey(kUpdatePrivateKeyFile));
}

} // namespace

/// Copies the database to a file of the caller's beside FILE, then moves it
/// into place: FILE is either a whole copy or absent, and nothing else in
/// its directory or the state directory is ever touched.
int backupCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state", "--database"});
    if (p.words.size() < 2)
        throw UsageError{cli_text::kBackupNeedsFile};
    expectWords(p, 2);
    const BackupTarget target = backupTarget(p.words[1]);
    StateDir state = findState(p, StateUse::Existing);

    // Created by the caller, under a name nobody takes for a backup.
    std::string temp;
    Fd out;
    for (int attempt = 0; out.get() < 0; ++attempt) {
        temp = "." + target.name + "." + std::to_string(::getpid()) + "-" +
               std::to_string(attempt) + ".part";
        out = Fd(::openat(target.dir.get(), temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0 && (errno != EEXIST || attempt == 100))
            throw std::runtime_error(
                cli_text::cannotCreateBackupTemp(target.shown, systemErrorText(errno)));
    }
    const auto removeTemp = [&] {
        ::unlinkat(target.dir.get(), temp.c_str(), 0);
        ::unlinkat(target.dir.get(), (temp + kJournalSuffix).c_str(), 0);
    };
    // Reading the database is the state owner's business, writing FILE the
    // caller's. Where they differ, the owner's process copies into a file of
    // its own in the state directory and from there into the caller's file;
    // otherwise the copy goes straight into the caller's file.
    const bool apart = state.actAsOwner;
    int status = kExitFailure;
    try {
        status = asStateOwner(state, [&] {
            checkState(state);
            const auto db = openDatabase(state);
            refuseDamaged(*db, state);
            try {
                if (apart) {
                    const std::string own = ".backup-" + std::to_string(::getpid()) + ".sqlite";
                    ::unlinkat(state.fd.get(), own.c_str(), 0);
                    struct Remove {
                        const StateDir& s;
                        const std::string& name;
                        ~Remove() {
                            ::unlinkat(s.fd.get(), name.c_str(), 0);
                            ::unlinkat(s.fd.get(), (name + kJournalSuffix).c_str(), 0);
                        }
                    } remove{state, own};
                    db->copyInto(own);
                    addStateFiles(own, carriedFiles(state.path));
                    const Fd copy(::openat(state.fd.get(), own.c_str(), O_RDONLY | O_CLOEXEC));
                    if (copy.get() < 0)
                        throw std::runtime_error(systemErrorText(errno));
                    copyAll(copy.get(), out.get(), target.shown);
                } else {
                    db->copyInto(target.parent + "/" + temp);
                    addStateFiles(target.parent + "/" + temp, carriedFiles(state.path));
                }
                syncFile(out.get(), target.shown);
            } catch (const std::exception& e) {
                throw std::runtime_error(cli_text::cannotWriteBackup(e.what()));
            }
        });
        if (!out.close() && status == kExitOk)
            throw std::runtime_error(cli_text::cannotWriteBackup(systemErrorText(errno)));
    } catch (...) {
        removeTemp();
        throw;
    }
    if (status != kExitOk) {
        removeTemp();
        return status;
    }
    if (::renameat2(target.dir.get(), temp.c_str(), target.dir.get(), target.name.c_str(),
                    RENAME_NOREPLACE) != 0) {
        const int error = errno;
        removeTemp();
        if (error == EEXIST)
            throw UsageError{cli_text::backupExists(target.shown), false};
        throw std::runtime_error(
            cli_text::cannotCreateBackup(target.shown, systemErrorText(error)));
    }
    if (target.canSync && ::fsync(target.dir.get()) != 0) {
        const int error = errno;
        ::unlinkat(target.dir.get(), target.name.c_str(), 0);
        throw std::runtime_error(cli_text::cannotSyncBackup(target.shown, systemErrorText(error)));
    }
    say(stdout, cli_text::backedUp(target.shown));
    saySideFiles(target);
    return kExitOk;
}

} // namespace pelvoran::server
