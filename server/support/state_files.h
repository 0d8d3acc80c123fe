#pragma once

// The names of what a state directory holds, in one place: every part that
// opens one of them takes its name from here.

#include <array>
#include <string>

namespace pelvoran::server {

/// The file in the state directory whose lock a running serve holds.
inline constexpr char kLockFile[] = "serve.lock";

/// The publisher's public key (one line, as PELVORAN_UPDATE_KEY takes it):
/// with it, every release must be signed by its private half.
inline constexpr char kUpdatePublicKeyFile[] = "update-key.pub";
/// The private half, when the publisher keeps it with the server (0600).
inline constexpr char kUpdatePrivateKeyFile[] = "update-key.pem";

/// The private key the publisher's answers are signed with (0600), made by
/// the server when first needed; tools take its public half as
/// PELVORAN_ANSWER_KEY (`pelvoran-server key answer`).
inline constexpr char kAnswerKeyFile[] = "answer-key.pem";

/// Where older servers kept the admin pages' token, which signed in as
/// often as it was used; serve deletes it.
inline constexpr char kAdminTokenFile[] = "admin-token";
/// The token /metrics takes as a bearer token: a monitor's own, which opens
/// no admin page.
inline constexpr char kMetricsTokenFile[] = "metrics-token";

/// Where serve last opened the admin pages, for `admin-url`.
inline constexpr char kAdminAddressFile[] = "admin-address";

/// The PostgreSQL URI the last serve was given with --database (none: it
/// used the SQLite file), which the other commands then work on.
inline constexpr char kDatabaseUriFile[] = "database-uri";

/// The directory of the state directory that holds its backups.
inline constexpr char kBackupsDir[] = "backups";

/// The directory of the state directory that holds the copies of the files
/// the server serves, each named by its SHA-256.
inline constexpr char kDownloadsDir[] = "downloads";

/// The database file name inside the state directory.
inline constexpr char kDatabaseFile[] = "comments.sqlite";

/// The database file of the state directory `stateDir`.
inline std::string databasePath(const std::string& stateDir) {
    return stateDir + "/" + kDatabaseFile;
}

/// The files SQLite keeps beside a database while it is open, by suffix:
/// the write-ahead log, which holds committed transactions not yet in the
/// main file, its index, and a rollback journal.
inline constexpr char kWalSuffix[] = "-wal";
inline constexpr char kShmSuffix[] = "-shm";
inline constexpr char kJournalSuffix[] = "-journal";
inline constexpr std::array<const char*, 3> kDatabaseCompanions = {kWalSuffix, kShmSuffix,
                                                                   kJournalSuffix};

} // namespace pelvoran::server
