#include "server/engine/sqlite_support.h"

#include <iterator>

namespace pelvoran::server {
namespace {

/// Forward migrations: entry N brings a database from user_version N to N+1.
constexpr const char* kMigrations[] = {
    R"sql(
    CREATE TABLE comments (
        id       INTEGER PRIMARY KEY,
        received INTEGER NOT NULL,
        text     TEXT NOT NULL,
        raw      BLOB NOT NULL,
        source   TEXT NOT NULL
    );
    CREATE INDEX comments_by_time ON comments (received);
    CREATE TABLE release (
        only     INTEGER PRIMARY KEY CHECK (only = 1),
        version  TEXT NOT NULL,
        address  TEXT NOT NULL,
        date     TEXT NOT NULL,
        notes    TEXT NOT NULL
    );
    )sql",
    // The admin pages: read marks, comments flagged as a bot's, the use count.
    R"sql(
    ALTER TABLE comments ADD COLUMN read INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE comments ADD COLUMN flagged INTEGER NOT NULL DEFAULT 0;
    CREATE TABLE use (
        day      INTEGER PRIMARY KEY,
        checks   INTEGER NOT NULL
    );
    )sql",
    // A comment's number is never handed out again, not after the newest
    // comments are deleted: receivers of notifications tell repeats by it.
    // AUTOINCREMENT keeps the highest number ever given in sqlite_sequence;
    // the rows copied in set it to the highest number there is.
    R"sql(
    CREATE TABLE comments_numbered (
        id       INTEGER PRIMARY KEY AUTOINCREMENT,
        received INTEGER NOT NULL,
        text     TEXT NOT NULL,
        raw      BLOB NOT NULL,
        source   TEXT NOT NULL,
        read     INTEGER NOT NULL DEFAULT 0,
        flagged  INTEGER NOT NULL DEFAULT 0
    );
    INSERT INTO comments_numbered (id, received, text, raw, source, read, flagged)
        SELECT id, received, text, raw, source, read, flagged FROM comments;
    DROP TABLE comments;
    ALTER TABLE comments_numbered RENAME TO comments;
    CREATE INDEX comments_by_time ON comments (received);
    )sql",
    // The admin pages' sessions outlive a restart: each by a digest of its
    // cookie, so that a copy of the database opens none of them.
    R"sql(
    CREATE TABLE admin_sessions (
        key      TEXT PRIMARY KEY,
        expires  INTEGER NOT NULL,
        used     INTEGER NOT NULL
    );
    )sql",
    // Every publish and clear, each row a copy of the release's fields; the
    // release live before the history began is its first row. The audit
    // log only ever grows.
    R"sql(
    CREATE TABLE release_history (
        id       INTEGER PRIMARY KEY AUTOINCREMENT,
        time     INTEGER NOT NULL,
        action   TEXT NOT NULL CHECK (action IN ('publish', 'clear')),
        version  TEXT NOT NULL,
        address  TEXT NOT NULL,
        date     TEXT NOT NULL,
        notes    TEXT NOT NULL,
        source   TEXT NOT NULL
    );
    INSERT INTO release_history (time, action, version, address, date, notes, source)
        SELECT 0, 'publish', version, address, date, notes, '' FROM release;
    CREATE TABLE audit_log (
        id       INTEGER PRIMARY KEY AUTOINCREMENT,
        time     INTEGER NOT NULL,
        action   TEXT NOT NULL,
        detail   TEXT NOT NULL,
        source   TEXT NOT NULL,
        address  TEXT NOT NULL
    );
    CREATE TRIGGER audit_log_kept BEFORE UPDATE ON audit_log
        BEGIN SELECT RAISE(ABORT, '操作记录只能追加，不能修改'); END;
    CREATE TRIGGER audit_log_not_deleted BEFORE DELETE ON audit_log
        BEGIN SELECT RAISE(ABORT, '操作记录只能追加，不能删除'); END;
    )sql",
    // Notifications of new comments: their recipients, and an outbox of
    // those not yet delivered, queued in the comment's own transaction. An
    // outbox row holds no text, only numbers: deleting the comment or the
    // recipient takes it along (ON DELETE CASCADE, in the same statement).
    R"sql(
    CREATE TABLE notify_recipients (
        id            INTEGER PRIMARY KEY AUTOINCREMENT,
        kind          TEXT NOT NULL CHECK (kind IN ('webhook', 'email')),
        address       TEXT NOT NULL,
        smtp          TEXT NOT NULL DEFAULT '',
        user          TEXT NOT NULL DEFAULT '',
        secret        BLOB NOT NULL DEFAULT '',
        ca_file       TEXT NOT NULL DEFAULT '',
        flagged       INTEGER NOT NULL DEFAULT 0,
        last_success  INTEGER NOT NULL DEFAULT 0,
        last_error    TEXT NOT NULL DEFAULT '',
        last_error_at INTEGER NOT NULL DEFAULT 0,
        failures      INTEGER NOT NULL DEFAULT 0,
        given_up      INTEGER NOT NULL DEFAULT 0
    );
    CREATE TABLE notify_outbox (
        comment   INTEGER NOT NULL REFERENCES comments (id) ON DELETE CASCADE,
        recipient INTEGER NOT NULL REFERENCES notify_recipients (id) ON DELETE CASCADE,
        attempts  INTEGER NOT NULL DEFAULT 0,
        queued    INTEGER NOT NULL,
        due       INTEGER NOT NULL,
        PRIMARY KEY (comment, recipient)
    ) WITHOUT ROWID;
    CREATE INDEX notify_outbox_by_due ON notify_outbox (due);
    CREATE INDEX notify_outbox_by_recipient ON notify_outbox (recipient);
    )sql",
    // A release's signature, served as its fifth field (empty: unsigned),
    // kept with each publish of the history too, so that 重新发布 offers
    // the same signed release again.
    R"sql(
    ALTER TABLE release ADD COLUMN signature TEXT NOT NULL DEFAULT '';
    ALTER TABLE release_history ADD COLUMN signature TEXT NOT NULL DEFAULT '';
    )sql",
    // When a recipient's failures in a row began (0: it has none), so that
    // the log, /metrics and the pages can say how long it has failed. A
    // streak under way counts from its last error: no earlier time is known.
    R"sql(
    ALTER TABLE notify_recipients ADD COLUMN failing_since INTEGER NOT NULL DEFAULT 0;
    UPDATE notify_recipients SET failing_since = last_error_at WHERE failures > 0;
    )sql",
    // A release per platform, each staged or not: the live release's row
    // names its history row, whose random key draws the networks a staged
    // release reaches first; a history row that was live at 100 % is a
    // release the networks outside a later rollout are offered. What was
    // here before is the Windows tool's, live everywhere.
    R"sql(
    CREATE TABLE release_by_platform (
        platform  TEXT PRIMARY KEY CHECK (platform IN ('windows', 'linux')),
        version   TEXT NOT NULL,
        address   TEXT NOT NULL,
        date      TEXT NOT NULL,
        notes     TEXT NOT NULL,
        signature TEXT NOT NULL DEFAULT '',
        rollout   INTEGER NOT NULL DEFAULT 100 CHECK (rollout BETWEEN 0 AND 100),
        change    INTEGER NOT NULL DEFAULT 0
    );
    INSERT INTO release_by_platform (platform, version, address, date, notes, signature, change)
        SELECT 'windows', version, address, date, notes, signature,
               coalesce((SELECT max(id) FROM release_history), 0) FROM release;
    DROP TABLE release;
    ALTER TABLE release_by_platform RENAME TO release;
    ALTER TABLE release_history ADD COLUMN platform TEXT NOT NULL DEFAULT 'windows'
        CHECK (platform IN ('windows', 'linux'));
    ALTER TABLE release_history ADD COLUMN rollout_key BLOB NOT NULL DEFAULT x'';
    ALTER TABLE release_history ADD COLUMN reached_all INTEGER NOT NULL DEFAULT 1;
    )sql",
    // Files the server hands out itself, kept in the database so that a
    // backup carries them: each in chunks under SQLite's blob limit, named by
    // its SHA-256; the publishes of the history that named one, by path; the
    // base address the paths are published under.
    R"sql(
    CREATE TABLE download_files (
        sha256   TEXT PRIMARY KEY,
        size     INTEGER NOT NULL
    );
    CREATE TABLE download_chunks (
        sha256   TEXT NOT NULL,
        n        INTEGER NOT NULL,
        data     BLOB NOT NULL,
        PRIMARY KEY (sha256, n)
    );
    CREATE TABLE release_files (
        history  INTEGER PRIMARY KEY REFERENCES release_history (id),
        platform TEXT NOT NULL,
        version  TEXT NOT NULL,
        name     TEXT NOT NULL,
        sha256   TEXT NOT NULL REFERENCES download_files (sha256)
    );
    CREATE INDEX release_files_by_path ON release_files (platform, version, name);
    CREATE TRIGGER release_files_one_file BEFORE INSERT ON release_files
        WHEN EXISTS (SELECT 1 FROM release_files WHERE platform = NEW.platform
                     AND version = NEW.version AND name = NEW.name AND sha256 <> NEW.sha256)
        BEGIN SELECT RAISE(ABORT, '这个下载路径已发布过另一个文件'); END;
    CREATE TABLE download_settings (
        only     INTEGER PRIMARY KEY CHECK (only = 1),
        base     TEXT NOT NULL
    );
    )sql",
    // The versions in the field, per day: checks, offers and completed
    // downloads by platform ('': the check said none) and version label; a
    // sketch of the day's distinct clients; and the day's salt for their
    // hashes, dropped when the day is over. No address and no network. The
    // checks counted so far came from tools that sent no agent.
    R"sql(
    CREATE TABLE field_counts (
        day      INTEGER NOT NULL,
        kind     TEXT NOT NULL CHECK (kind IN ('check', 'offer', 'download')),
        platform TEXT NOT NULL,
        version  TEXT NOT NULL,
        n        INTEGER NOT NULL,
        PRIMARY KEY (day, kind, platform, version)
    ) WITHOUT ROWID;
    INSERT INTO field_counts (day, kind, platform, version, n)
        SELECT day, 'check', '', '1.05 或更早', checks FROM use;
    CREATE TABLE field_clients (
        day       INTEGER PRIMARY KEY,
        registers BLOB NOT NULL
    );
    CREATE TABLE field_salts (
        day      INTEGER PRIMARY KEY,
        salt     BLOB NOT NULL
    );
    )sql",
};

} // namespace

std::span<const char* const> schemaMigrations() {
    return kMigrations;
}

int knownSchemaVersion() {
    return static_cast<int>(schemaMigrations().size());
}

} // namespace pelvoran::server
