#pragma once

#include "platform/text.h"
#include "server/release/release.h"
#include "server/store/store_error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace pelvoran::server {

class Connection;

/// How long a writer waits for another connection's transaction before it
/// gives up, unless told otherwise.
inline constexpr std::chrono::milliseconds kBusyTimeout = std::chrono::seconds(2);

/// Where a comment came from.
inline constexpr char kFromDesktop[] = "desktop";
inline constexpr char kFromWeb[] = "web";

struct NewComment {
    Text text;
    std::string raw; // the body as it arrived
    std::string source;
    std::int64_t received = 0; // seconds since 1970, UTC
    bool flagged = false;      // the web form's field for bots was filled
};

struct StoredComment {
    std::int64_t id = 0;
    std::int64_t received = 0;
    Text text;
    std::string source;
    bool read = false;
    bool flagged = false;
};

enum class NotifyKind { Webhook, Email };

/// What a publisher reads for a kind of recipient.
std::string kindText(NotifyKind kind);

/// Now, as the store keeps times: milliseconds since 1970 (UTC).
std::int64_t unixMillisNow();

/// Someone told of each new comment, and how sending to them goes.
struct Recipient {
    std::int64_t id = 0;
    NotifyKind kind = NotifyKind::Webhook;
    std::string address;          // the webhook's URL or the e-mail address
    std::string smtp;             // e-mail: the SMTP server's URL
    std::string user;             // e-mail: the SMTP user, if any
    std::string secret;           // the webhook's key or the SMTP password; never shown
    std::string caFile;           // e-mail: a private CA's certificates
    bool flagged = false;         // told of comments flagged as a bot's too
    std::int64_t lastSuccess = 0; // seconds since 1970; 0: never
    std::string lastError;
    std::int64_t lastErrorAt = 0;
    std::int64_t failures = 0; // failed tries in a row
    /// When the failures in a row began (seconds since 1970); 0: none.
    std::int64_t failingSince = 0;
    std::int64_t givenUp = 0; // notifications dropped after a day of failures
    std::int64_t pending = 0; // notifications waiting in the outbox
};

/// A notification due: the comment, to whom, and its history.
struct OutboxEntry {
    StoredComment comment;
    Recipient recipient;
    std::int64_t attempts = 0;
    std::int64_t queued = 0; // milliseconds since 1970
};

/// One page of a comment list, and how many match in all.
struct CommentPage {
    std::vector<StoredComment> comments;
    std::int64_t total = 0;
};

/// Where a publisher's action was taken, as the release history and the
/// audit log name it.
inline constexpr char kByCommandLine[] = "命令行";
inline constexpr char kByPages[] = "管理页面";

/// One publish or clear of the release history. A row kept from before the
/// history began has time 0 and no source.
struct ReleaseChange {
    std::int64_t id = 0;
    std::int64_t time = 0;  // seconds since 1970, UTC
    bool published = false; // false: a clear, with empty fields
    Release release;
    std::string source; // kByCommandLine or kByPages
};

/// The release history's newest rows, and how many there are in all.
struct ReleaseHistory {
    std::vector<ReleaseChange> changes;
    std::int64_t total = 0;
};

/// One line of the audit log.
struct AuditEntry {
    std::int64_t id = 0;
    std::int64_t time = 0; // seconds since 1970, UTC
    std::string action;    // what was done, as the publisher reads it
    std::string detail;
    std::string source;  // kByCommandLine or kByPages
    std::string address; // the admin's own address, on logins only
};

struct AuditPage {
    std::vector<AuditEntry> entries;
    std::int64_t total = 0;
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

/// Refuses, with a message for the publisher that names `shown` (the file's
/// real path), a database file nothing should be served from: one emptied to
/// 0 bytes, one this process may not write, one that SQLite's check finds
/// damaged. At serve's start, damage that lies only in indexes is mended
/// (a copy set aside in backups/, REINDEX, the full check again) and said in
/// the log. A file that does not exist yet passes: opening creates it.
/// Throws StoreError.
void checkDatabase(const std::string& path, const std::string& shown,
                   DatabaseCheck check = DatabaseCheck::Quick);

/// A file of the state directory that a backup carries beside the database,
/// in its table state_files.
struct StateFile {
    std::string name;
    unsigned mode = 0600;
    std::string sha256; // of `data`, lower-case hex, as the backup says
    std::string data;
};

/// What rebuildFromBackup made of a backup.
struct RebuiltDatabase {
    std::int64_t schema = 0; // the backup's schema version, brought up to date
    /// The backup's objects that are not of this server's schema ("trigger
    /// x"), none of which came back.
    std::vector<std::string> leftOut;
    std::vector<StateFile> files; // as the backup holds them, not yet checked
};

/// Builds at `fresh` (a new file) a database of this server's own schema
/// with the rows of every table of that schema from the backup at `backup`,
/// which is only read: each table's columns as this server knows them, and
/// each table's highest number ever given, so that none is given twice. No
/// trigger, view or other object of the backup comes back. A backup of an
/// older schema is copied into that schema, then brought up to date. Throws
/// RefusedBackup, naming the backup by `shown`, when it is damaged, not this
/// server's, of a newer server, or holds a known name that is not a table;
/// StoreError when the new database cannot be written.
RebuiltDatabase rebuildFromBackup(const std::string& backup, const std::string& fresh,
                                  const std::string& shown);

/// Adds `files` to the backup copy at `path`, which no connection has open,
/// in its table state_files(name, mode, sha256, data).
void addStateFiles(const std::string& path, const std::vector<StateFile>& files);

/// The names in the state_files table of the backup at `path`; none when
/// it has no such table.
std::vector<std::string> stateFileNames(const std::string& path);

/// For every table of the database at `path` that numbers its rows, the
/// highest number it ever gave. Writes nothing; on closing, its write-ahead
/// log is folded into the file. Throws StoreError.
std::map<std::string, std::int64_t> highestNumbers(const std::string& path);

/// The comments of the backup at `path`, received at or after `since` (all
/// when nullopt), newest first: read as the file is, never migrated or
/// written, and nothing left beside it. Throws RefusedBackup naming it
/// `shown` as rebuildFromBackup does, StoreError when it cannot be read.
std::vector<StoredComment> backupComments(const std::string& path, const std::string& shown,
                                          std::optional<std::int64_t> since);

/// One connection to the server's database: comments and the published
/// release. Opening it creates the file when needed (0600), takes group and
/// other access from an existing file and its -wal and -shm, switches it to
/// WAL with synchronous=FULL, and brings its schema up to date (PRAGMA
/// user_version counts the migrations applied). A database written by a newer
/// server is refused. Use a connection from one thread at a time.
class Database {
public:
    /// A writer waits up to `busyTimeout` for another connection's
    /// transaction before it gives up.
    explicit Database(const std::string& path,
                      std::chrono::milliseconds busyTimeout = kBusyTimeout);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    /// Stores the comments in one transaction; when this returns, they are
    /// durable, and so is a notification of each, due now, for every
    /// recipient there is (of a flagged one, for those who asked). Throws
    /// StoreError and stores none of them otherwise.
    void insert(const std::vector<NewComment>& comments);

    /// Comments received at or after `since` (all when nullopt), newest first.
    std::vector<StoredComment> comments(std::optional<std::int64_t> since = std::nullopt);

    /// Comments whose text contains `search` (all when empty), flagged or
    /// not, newest first.
    CommentPage commentPage(const std::string& search, bool flagged, std::int64_t offset,
                            std::int64_t limit);
    std::int64_t unreadCount();
    /// False when there is no such comment.
    bool markRead(std::int64_t id, bool read);
    std::optional<StoredComment> comment(std::int64_t id);

    // The publisher's acts below are logged in the audit log, in the same
    // transaction, as coming from `source` (kByCommandLine or kByPages).

    /// Marks every comment read; how many were unread.
    std::int64_t markAllRead(const std::string& source);
    /// Deletes the comments `ids` in one transaction, all or none: the
    /// numbers of those not there (nothing deleted then), empty when all
    /// went. Their bytes are overwritten in the file (secure_delete) and the
    /// WAL is checkpointed and emptied; wiped() says whether that was done.
    std::vector<std::int64_t> deleteComments(const std::vector<std::int64_t>& ids,
                                             const std::string& source);
    /// Deletes every comment flagged as a bot's, as deleteComments does; how
    /// many there were.
    std::int64_t deleteFlagged(const std::string& source);
    /// Whether the last deletion's checkpoint emptied the WAL: false when a
    /// reader kept it from doing so within the busy timeout.
    bool wiped() const { return wiped_; }

    /// The notifications' recipients, with their outbox counts (store_notify.cpp).
    std::int64_t addRecipient(const Recipient& r);
    /// False when there is no such recipient; its queued notifications go too.
    bool removeRecipient(std::int64_t id);
    std::vector<Recipient> recipients();
    std::optional<Recipient> recipient(std::int64_t id);
    /// Up to `limit` notifications due at `nowMs`, the oldest first, but
    /// none for the recipients `skipped`.
    std::vector<OutboxEntry> dueNotifications(std::int64_t nowMs, std::int64_t limit,
                                              const std::vector<std::int64_t>& skipped = {});
    /// When the next notification is due (milliseconds since 1970), if any
    /// is queued for a recipient but those `skipped`.
    std::optional<std::int64_t> nextDue(const std::vector<std::int64_t>& skipped = {});
    /// What the tries of one round came to, in one transaction: a delivered
    /// one leaves the outbox; a failed one is due again at `retryAt` (and
    /// the recipient's other ones no sooner), or dropped when `giveUp`. A
    /// delivery clears the recipient's failures and last error.
    struct TryResult {
        std::int64_t comment = 0;
        std::int64_t recipient = 0;
        std::optional<std::string> error;
        std::int64_t retryAt = 0;
        bool giveUp = false;
    };
    /// A recipient's failures in a row, begun or ended by what was recorded.
    struct Streak {
        std::int64_t recipient = 0;
        bool ended = false;        // by a delivery; otherwise a failure began it
        std::int64_t since = 0;    // when it began (seconds since 1970)
        std::int64_t failures = 0; // ended: its failed tries
        std::int64_t waiting = 0;  // ended: the notifications queued for it then
    };
    /// The streaks the results began or ended, in their order.
    std::vector<Streak> recordTries(const std::vector<TryResult>& results, std::int64_t nowSeconds);
    /// The outcome of a test send to `recipient`, shown like a real one: a
    /// delivery ends its streak (returned, when there was one) and makes its
    /// held-back notifications due now; a failure is its last error.
    std::optional<Streak> recordTest(std::int64_t recipient,
                                     const std::optional<std::string>& error,
                                     std::int64_t nowSeconds);
    /// The notifications waiting, and when the oldest of them was queued
    /// (milliseconds since 1970; 0 when none waits).
    struct Outbox {
        std::int64_t pending = 0;
        std::int64_t oldestQueued = 0;
    };
    Outbox outbox();

    /// Update checks answered, counted per day (days since 1970, local).
    /// Adds the checks of each day, all in one transaction or none.
    void addUse(const std::map<std::int64_t, std::int64_t>& checksPerDay);
    std::map<std::int64_t, std::int64_t> use(std::int64_t fromDay);

    std::optional<Release> release();
    /// Publishes `release`, from `source`, and keeps it in the release
    /// history and the audit log (as `action`, and `detail` after the
    /// version), all in one transaction.
    void setRelease(const Release& release, const std::string& source,
                    const std::string& action = "发布", const std::string& detail = "");
    /// Takes the release down, kept as setRelease keeps a publish.
    void clearRelease(const std::string& source);
    /// The `limit` newest publishes and clears, newest first.
    ReleaseHistory releaseHistory(std::int64_t limit);
    std::optional<ReleaseChange> releaseChange(std::int64_t id);

    /// Appends one entry to the audit log, which nothing changes or deletes
    /// afterwards. `address` only for a login: no other client address is
    /// kept.
    void appendAudit(const std::string& action, const std::string& detail,
                     const std::string& source, const std::string& address = "");
    /// Entries of the audit log, newest first.
    AuditPage auditLog(std::int64_t offset, std::int64_t limit);

    /// Changes whenever another connection commits (PRAGMA data_version).
    std::int64_t dataVersion();

    /// Writes a consistent copy of the whole database to `path` (VACUUM
    /// INTO: one read transaction, so writers go on meanwhile and memory
    /// stays bounded), which must not exist or be empty. Not synced.
    void copyInto(const std::string& path);

    /// How many comments there are, and when the newest one came (0: none).
    std::pair<std::int64_t, std::int64_t> commentCountAndNewest();

    /// Makes the statement running now on this connection, from another
    /// thread, end soon with an error.
    void interrupt();

    /// The highest comment number ever handed out (0 when none was).
    std::int64_t highestCommentNumber();
    /// Hands out, in each table named, only numbers above the one given.
    void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers);

    /// The lines of SQLite's full check (PRAGMA integrity_check) that are
    /// not "ok": none when the database is whole. Throws StoreError.
    std::vector<std::string> integrityProblems();
    /// See rebuildIndexes in sqlite_support.h.
    bool rebuildIndexes();

    int schemaVersion();

    /// Whether a write transaction can begin now (it is rolled back at once).
    bool canWrite();

    /// The admin pages' sessions, each by the digest `key` of its cookie and
    /// with its end `expires` (milliseconds since 1970). Adding one keeps
    /// `keep` at most: those used longest ago go.
    void addSession(const std::string& key, std::int64_t expires, std::size_t keep);
    /// Whether the session `key` lasts at `now`; it counts as used now. Ended
    /// sessions are forgotten.
    bool useSession(const std::string& key, std::int64_t now);
    void endSession(const std::string& key);
    void endAllSessions();

    /// For a Transaction: opaque to everyone but the store's own files.
    Connection& connection() { return *connection_; }

private:
    void exec(const char* sql);
    void migrate();
    /// Copies the WAL into the file and empties it, so that no frame keeps
    /// what was just deleted.
    void checkpoint();
    std::unique_ptr<Connection> connection_;
    sqlite3* db_ = nullptr; // connection_'s
    bool wiped_ = true;
};

} // namespace pelvoran::server
