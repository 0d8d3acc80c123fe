#include "server/admin/admin_session.h"
#include "server/cli/backup_file.h"
#include "server/cli/cli_texts.h"
#include "server/cli/command_line.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/comments/comment_export.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/digest.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"
#include "server/support/log.h"
#include "server/support/state_files.h"
#include "server/support/terminal_text.h"
#include "server/support/time_text.h"
#include "server/upkeep/backups.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

void removeDatabaseFiles(int dir, const std::string& name) {
    ::unlinkat(dir, name.c_str(), 0);
    for (const char* suffix : kDatabaseCompanions)
        ::unlinkat(dir, (name + suffix).c_str(), 0);
}

void renameOrThrow(int dir, const std::string& from, const std::string& to,
                   const std::string& shown) {
    if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0)
        throw std::runtime_error(cli_text::cannotMove(shown, systemErrorText(errno)));
}

/// The replaced database's name in backups/: when it was replaced, then
/// "-N" for the Nth name asked for in the same second (2 on).
std::string replacedName(int n) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &tm);
    return std::string("replaced-") + stamp + (n > 1 ? "-" + std::to_string(n) : "") + ".sqlite";
}

std::string mebibytes(std::uintmax_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

/// Refuses, before anything is copied, a backup of `size` bytes that the
/// state directory's file system has no room for: its copy there and the
/// database rebuilt from it take about twice its size.
void expectRoom(const StateDir& state, std::uintmax_t size, const std::string& file) {
    struct statvfs fs {};
    if (::fstatvfs(state.fd.get(), &fs) != 0)
        throw std::runtime_error(cli_text::cannotSeeRoom(state.shown, systemErrorText(errno)));
    const std::uintmax_t room = std::uintmax_t{fs.f_bavail} * fs.f_frsize;
    const std::uintmax_t needed = 2 * size + (std::uintmax_t{1} << 20);
    if (needed > room)
        throw std::runtime_error(cli_text::notEnoughRoom(state.shown, mebibytes(room), file,
                                                         mebibytes(size), mebibytes(needed)));
}

/// The state directory's files a backup carries, each checked against the
/// digest the backup keeps and for what it must hold. Refuses (naming the
/// backup `file`) a file of another name, of another content, or a private
/// key that is not the public key's other half.
std::vector<StateFile> checkedFiles(const std::vector<StateFile>& files, const std::string& file) {
    std::set<std::string> seen;
    std::optional<std::string> publicKey, privateKeysPublic;
    for (const StateFile& f : files) {
        const auto refuse = [&](const std::string& why) {
            throw UsageError{cli_text::badStateFile(file, terminalCell(f.name), why), false};
        };
        if (f.name != kUpdatePublicKeyFile && f.name != kUpdatePrivateKeyFile &&
            f.name != kAnswerKeyFile && f.name != kMetricsTokenFile)
            refuse(cli_text::kFileNotOurs);
        if (!seen.insert(f.name).second)
            refuse(cli_text::kFileTwice);
        if (sha256Hex(f.data) != f.sha256)
            refuse(cli_text::kFileDigestWrong);
        if (f.name == kUpdatePublicKeyFile && !(publicKey = publicKeyIn(f.data)))
            refuse(cli_text::kFileNotPublicKey);
        if (f.name == kUpdatePrivateKeyFile) {
            try {
                privateKeysPublic = publicKeyOf(f.data);
            } catch (const std::runtime_error&) {
                refuse(cli_text::kFileNotPrivateKey);
            }
        }
        if (f.name == kAnswerKeyFile) {
            try {
                publicKeyOf(f.data);
            } catch (const std::runtime_error&) {
                refuse(cli_text::kFileNotPrivateKey);
            }
        }
        if (f.name == kMetricsTokenFile && std::any_of(f.data.begin(), f.data.end(), [](char c) {
                return (c < '!' || c > '~') && c != '\n' && c != '\r';
            }))
            refuse(cli_text::kFileNotToken);
    }
    if (privateKeysPublic && privateKeysPublic != publicKey)
        throw UsageError{cli_text::keysNotAPair(file, kUpdatePrivateKeyFile, kUpdatePublicKeyFile),
                         false};
    return files;
}

/// The signing key of the state directory: its public key, or that of a
/// private key kept there alone; empty when it has none.
std::string stateKey(const StateDir& state) {
    std::string key = statePublicKey(state.path);
    if (key.empty())
        if (const auto privateKey = statePrivateKey(state.path)) {
            try {
                key = publicKeyOf(*privateKey);
            } catch (const std::runtime_error&) {
            }
        }
    return key;
}

/// Refuses a backup of another signing key than the state directory's: the
/// tools in the field know one key, and a restore never swaps it silently.
void expectSameKey(const StateDir& state, const std::vector<StateFile>& files,
                   const std::string& file) {
    for (const StateFile& f : files) {
        if (f.name != kUpdatePublicKeyFile)
            continue;
        const std::string backupKey = *publicKeyIn(f.data);
        const std::string here = stateKey(state);
        if (here.empty() || here == backupKey)
            return;
        throw UsageError{cli_text::otherSigningKey(
                             file, keyFingerprint(backupKey), state.shown, keyFingerprint(here),
                             state.shown + "/" + kUpdatePublicKeyFile, kUpdatePrivateKeyFile),
                         false};
    }
}

/// Writes a file of the backup under a temporary name in the state
/// directory, synced, with the backup's mode (the owner's part only:
/// nothing in the state directory is anyone else's): that name.
std::string writeStateFile(int dir, const StateFile& f, const std::string& shownDir) {
    const std::string temp = ".restore-" + std::to_string(::getpid()) + "-" + f.name;
    ::unlinkat(dir, temp.c_str(), 0);
    const Fd out(
        ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = out.get() >= 0 && ::fchmod(out.get(), f.mode & 0600) == 0;
    for (std::size_t done = 0; written && done < f.data.size();) {
        const ssize_t n = ::write(out.get(), f.data.data() + done, f.data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    if (!written || ::fsync(out.get()) != 0) {
        const int error = errno;
        ::unlinkat(dir, temp.c_str(), 0);
        throw std::runtime_error(
            cli_text::restoreCannotWrite(shownDir + "/" + f.name, systemErrorText(error)));
    }
    return temp;
}

/// What came back, for the summary.
struct Restored {
    std::int64_t next = 0; // the next comment number
    CommentCount comments;
    /// What the update check will answer, a line a platform published.
    std::vector<std::string> offers;
    std::string unread;  // why the replaced database's numbers could not be read
    std::string carried; // the state directory's files the backup carried
    std::vector<std::string> leftOut;
    std::string kept; // where the replaced database went, in the state directory
    /// Where today's daily backup went, in the state directory; or why it
    /// could not be set aside.
    std::string dailyAside, dailyStays;
};

/// The files of a restore in progress in the state directory: the owner's
/// copy of the backup, the database rebuilt from it, the carried files under
/// their temporary names. All removed unless the restore is done.
struct Scratch {
    int dir;
    std::vector<std::string> names;
    ~Scratch() {
        for (const auto& name : names)
            removeDatabaseFiles(dir, name);
    }
};

/// The backup `source` copied into the state directory as its owner's own
/// file (a backup may be readable by its caller alone, and read from there
/// it cannot change underneath), and a database rebuilt from its rows as
/// `temp`. Changes nothing else; refusals say so.
RebuiltDatabase rebuildBeside(const StateDir& state, int source, const std::string& file,
                              const std::string& copied, const std::string& temp) {
    {
        const Fd copy(::openat(state.fd.get(), copied.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.get() < 0)
            throw std::runtime_error(
                cli_text::cannotWriteInState(state.shown, systemErrorText(errno)));
        copyAll(source, copy.get(), state.shown + "/" + copied);
    }
    try {
        return rebuildFromBackup(state.path + "/" + copied, state.path + "/" + temp, file);
    } catch (const RefusedBackup& e) {
        throw UsageError{cli_text::backupRefused(cli_text::refusedBackup(e)), false};
    } catch (const StoreError& e) {
        throw std::runtime_error(cli_text::cannotRebuild(state.shown, e.what()));
    }
}

/// What the update check of `platform` answers by `offer`, as a line of
/// the restore's summary.
std::string offerText(Platform platform, const PlatformOffer& offer) {
    const std::string live = toUtf8(offer.live->version);
    const std::string others = offer.earlier ? cli_text::othersGet(toUtf8(offer.earlier->version))
                                             : cli_text::kOthersGetNothing;
    std::string text = std::string(platformLabel(platform)) + "：";
    if (offer.rollout >= 100)
        return text + live;
    if (offer.rollout <= 0)
        return text + cli_text::offerHalted(live, others);
    return text + cli_text::offerInPart(live, offer.rollout, others);
}

/// The rebuilt database `temp` made ready to take the place of the state
/// directory's: no number handed out since the backup handed out again, no
/// session of the backup's day left, the restore in its audit log.
void makeReady(const StateDir& state, const std::string& temp, const std::string& file,
               Restored& r) {
    std::map<std::string, std::int64_t> highest;
    try {
        // Into an empty state directory, no number was given yet.
        if (::faccessat(state.fd.get(), kDatabaseFile, F_OK, AT_SYMLINK_NOFOLLOW) == 0)
            highest = highestNumbers(databasePath(state.path));
    } catch (const StoreError& e) {
        r.unread = e.what();
    }
    Database restored(state.path + "/" + temp);
    restored.keepNumbersAbove(highest);
    restored.sessions().endAll();
    r.next = restored.comments().highestNumber() + 1;
    r.comments = restored.comments().countAndNewest();
    for (const Platform platform : {Platform::Windows, Platform::Linux})
        if (const PlatformOffer offer = restored.releases().offer(platform); offer.live)
            r.offers.push_back(offerText(platform, offer));
    // The backup's own log goes on, saying what came back.
    restored.audit().append(cli_text::kRestoredAction,
                            cli_text::restoredDetail(file, state.shown, r.carried), kByCommandLine);
} // the last connection: the copy is whole in its main file

/// Puts `temp` in place of the database, keeping the replaced one with its
/// write-ahead log in backups/ exactly as it was, and the carried files in
/// place of theirs (`scratch` names them, after the copy and `temp`); the
/// directory synced. Where the replaced database went; empty when there was
/// none.
std::string putInPlace(const StateDir& state, const std::string& temp,
                       const std::vector<StateFile>& files, Scratch& scratch) {
    const int dir = state.fd.get();
    if (::mkdirat(dir, kBackupsDir, 0700) != 0 && errno != EEXIST)
        throw std::runtime_error(
            cli_text::cannotCreateIn(state.shown + "/" + kBackupsDir, systemErrorText(errno)));
    std::string kept = std::string(kBackupsDir) + "/" + replacedName(1);
    for (int n = 2; ::faccessat(dir, kept.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0; ++n)
        kept = std::string(kBackupsDir) + "/" + replacedName(n);
    // An empty state directory has nothing to keep.
    if (::faccessat(dir, kDatabaseFile, F_OK, AT_SYMLINK_NOFOLLOW) != 0)
        kept.clear();
    else
        renameOrThrow(dir, kDatabaseFile, kept, databasePath(state.shown));
    const std::string wal = std::string(kDatabaseFile) + kWalSuffix;
    if (!kept.empty() && ::faccessat(dir, wal.c_str(), F_OK, 0) == 0)
        renameOrThrow(dir, wal, kept + kWalSuffix, databasePath(state.shown) + kWalSuffix);
    for (const char* suffix : {kShmSuffix, kJournalSuffix})
        ::unlinkat(dir, (std::string(kDatabaseFile) + suffix).c_str(), 0);
    if (::renameat(dir, temp.c_str(), dir, kDatabaseFile) != 0) {
        const int error = errno;
        // The state as it was, rather than none.
        if (!kept.empty()) {
            ::renameat(dir, kept.c_str(), dir, kDatabaseFile);
            ::renameat(dir, (kept + kWalSuffix).c_str(), dir, wal.c_str());
        }
        throw std::runtime_error(
            cli_text::cannotMoveBackup(databasePath(state.shown), systemErrorText(error)));
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        renameOrThrow(dir, scratch.names[2 + i], files[i].name, state.shown + "/" + files[i].name);
    scratch.names.clear();
    const Fd opened(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0)
        throw std::runtime_error(cli_text::restoreCannotOpen(state.shown, systemErrorText(errno)));
    syncFile(opened.get(), state.shown);
    return kept;
}

/// What the publisher reads after a restore: what came back, what did not,
/// and what to do next.
void sayRestored(const StateDir& state, const std::string& file, const Restored& r) {
    say(stdout, cli_text::restoredHeading(file, state.shown));
    say(stdout, cli_text::restoredComments(
                    r.comments.count, r.comments.count > 0 ? localTimeText(r.comments.newest) : "",
                    !r.kept.empty()));
    if (r.offers.empty())
        say(stdout, cli_text::kNoOffers);
    else {
        say(stdout, cli_text::kOffersHeading);
        for (const std::string& line : r.offers)
            say(stdout, "    " + line);
    }
    say(stdout, cli_text::nextNumber(r.next));
    if (!r.unread.empty())
        say(stdout, cli_text::numbersUnread(r.unread));
    say(stdout, r.carried.empty() ? std::string(cli_text::kNothingCarried)
                                  : cli_text::filesCarried(r.carried));
    if (!r.leftOut.empty()) {
        std::string names;
        for (const auto& name : r.leftOut)
            names += (names.empty() ? "" : "、") + terminalCell(name);
        say(stdout, cli_text::objectsLeftOut(names));
    }
    if (!r.kept.empty())
        say(stdout, cli_text::replacedKeptAs(state.shown + "/" + r.kept));
    if (!r.dailyAside.empty())
        say(stdout, cli_text::dailyMovedAside(state.shown + "/" + r.dailyAside));
    if (!r.dailyStays.empty())
        say(stdout, cli_text::dailyNotMoved(r.dailyStays));
    say(stdout, cli_text::kSignInsEnded);
    // Where systemd runs the machine, the packaged service; elsewhere the
    // publisher starts serve as before.
    say(stdout, ::access("/run/systemd/system", F_OK) == 0 ? std::string(cli_text::kStartService)
                                                           : cli_text::startServer(state.shown));
}

/// As the state directory's owner, with the state locked: the backup
/// `source` (FILE, `size` bytes) copied, a database rebuilt from its rows
/// and put in place of the database, and the files it carries put back.
void restoreAsOwner(StateDir& state, int source, const std::string& file, std::uintmax_t size) {
    const Fd lock = lockState(state);
    if (lock.get() < 0)
        throw std::runtime_error(cli_text::serverUsesState(state.shown));
    expectRoom(state, size, file);
    const int dir = state.fd.get();
    const std::string pid = std::to_string(::getpid());
    const std::string copied = ".restore-" + pid + ".backup";
    const std::string temp = ".restore-" + pid + ".sqlite";
    removeDatabaseFiles(dir, copied);
    removeDatabaseFiles(dir, temp);
    Scratch scratch{dir, {copied, temp}};
    const RebuiltDatabase rebuilt = rebuildBeside(state, source, file, copied, temp);
    removeDatabaseFiles(dir, copied);
    const std::vector<StateFile> files = checkedFiles(rebuilt.files, file);
    expectSameKey(state, files, file);

    Restored r;
    r.leftOut = rebuilt.leftOut;
    for (const StateFile& f : files)
        r.carried += (r.carried.empty() ? "" : "、") + f.name;
    makeReady(state, temp, file, r);
    for (const StateFile& f : files)
        scratch.names.push_back(writeStateFile(dir, f, state.shown));
    r.kept = putInPlace(state, temp, files, scratch);
    // Today's backup was of the replaced database (on a new machine, of the
    // empty one the package's first start made): the restored data gets
    // one today too.
    try {
        r.dailyAside = setAsideDailyBackup(state.path, Clock::system().now());
    } catch (const std::runtime_error& e) {
        r.dailyStays = e.what();
    }
    logError(cli_text::restoredLog(file, state.shown));
    sayRestored(state, file, r);
}

/// Table names as the publisher reads them in the counts of a restore.
constexpr std::pair<const char*, const char*> kCountedTables[] = {
    {"comments", cli_text::kCommentsTable},
    {"release_history", cli_text::kReleaseHistoryTable},
    {"audit_log", cli_text::kAuditLogTable},
    {"notify_recipients", cli_text::kRecipientsTable},
    {"download_files", cli_text::kDownloadFilesTable},
};

/// `restore FILE --database URI [--replace]`: the backup `source` (FILE)
/// rebuilt in a private temporary folder, then loaded into PostgreSQL.
int restoreIntoPostgres(int source, const std::string& file, const std::string& location,
                        bool replace) {
    std::string folder = (fs::temp_directory_path() / "pelvoran-restore-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr)
        throw std::runtime_error(cli_text::cannotMakeTempDir(systemErrorText(errno)));
    struct Remove {
        const std::string& path;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } remove{folder};
    const std::string copied = folder + "/backup.sqlite";
    const std::string fresh = folder + "/rebuilt.sqlite";
    {
        const Fd copy(
            ::open(copied.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.get() < 0)
            throw std::runtime_error(cli_text::cannotWriteTemp(copied, systemErrorText(errno)));
        copyAll(source, copy.get(), copied);
    }
    RebuiltDatabase rebuilt;
    try {
        rebuilt = rebuildFromBackup(copied, fresh, file);
    } catch (const RefusedBackup& e) {
        throw UsageError{cli_text::backupRefused(cli_text::refusedBackup(e)), false};
    }
    const auto refused = [](std::string why) {
        if (why.ends_with("。"))
            why.resize(why.size() - std::string_view("。").size());
        return std::runtime_error(cli_text::backupRefused(why));
    };
    std::map<std::string, std::int64_t> counts;
    try {
        counts = loadIntoPostgres(
            fresh, location, replace,
            cli_text::restoredIntoPostgres(file, shownLocation(location), replace));
    } catch (const RestoreRefused& e) {
        throw refused(cli_text::restoreRefused(e));
    } catch (const LocationRefused& e) {
        throw refused(cli_text::locationRefused(e));
    } catch (const StoreError& e) {
        throw refused(e.what());
    }
    std::string said;
    for (const auto& [table, name] : kCountedTables)
        said += (said.empty() ? "" : "，") + cli_text::tableRows(name, counts[table]);
    say(stdout, cli_text::restoredPostgres(file, shownLocation(location), said));
    if (!rebuilt.files.empty()) {
        std::string names;
        for (const StateFile& f : rebuilt.files)
            names += (names.empty() ? "" : "、") + f.name;
        say(stdout, cli_text::filesNotInDatabase(names));
    }
    say(stdout, cli_text::kStartWithDatabase);
    return kExitOk;
}

} // namespace

/// `restore FILE [--state DIR]`: puts the data of a backup in place of the
/// database, and the state directory's files it carries back in place.
int restoreCommand(const std::vector<std::string>& args) {
    // The one option without a value.
    std::vector<std::string> rest;
    bool replace = false;
    for (const auto& a : args) {
        if (a == "--replace")
            replace = true;
        else
            rest.push_back(a);
    }
    const Parsed p = parse(rest, {"--state", "--database"});
    if (p.words.size() < 2)
        throw UsageError{cli_text::kRestoreNeedsFile};
    expectWords(p, 2);
    const std::string file = p.words[1];
    // Read with the caller's rights: a backup may be theirs alone.
    const Fd source = openBackupFile(file, "restore");
    struct stat st {};
    if (::fstat(source.get(), &st) != 0)
        throw std::runtime_error(cli_text::cannotReadFile("restore", file, systemErrorText(errno)));
    if (const auto database = p.options.find("--database"); database != p.options.end()) {
        if (!isPostgresLocation(database->second))
            throw UsageError{cli_text::kRestoreDatabaseNotPostgres};
        if (p.options.contains("--state"))
            throw UsageError{cli_text::kDatabaseOrState};
        return restoreIntoPostgres(source.get(), file, database->second, replace);
    }
    if (replace)
        throw UsageError{cli_text::kReplaceOnlyDatabase};
    StateDir state = findState(p, StateUse::Restore);
    if (!state.database.empty())
        throw std::runtime_error(
            cli_text::stateUsesPostgres(state.shown, shownLocation(state.database), file));
    if (::faccessat(AT_FDCWD, state.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0 &&
        !state.actAsOwner)
        throw std::runtime_error(
            cli_text::restoreStateNotWritable(state.shown, systemErrorText(errno)));
    return asStateOwner(state, [&] {
        restoreAsOwner(state, source.get(), file, static_cast<std::uintmax_t>(st.st_size));
    });
}

} // namespace pelvoran::server
