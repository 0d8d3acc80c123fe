#pragma once

// The rows the pages show, as plain data: admin/ fills them from the stores.
// The words a row carries (where a comment came from, a recipient's kind)
// are already the publisher's, its addresses already without user or
// password, and no secret is among its fields.

#include "platform/text.h"
#include "server/release/release.h"
#include "server/release/release_file.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// A comment.
struct CommentRow {
    std::int64_t id = 0;
    std::chrono::sys_seconds received{};
    Text text;
    std::string source; // where it came from, as the publisher reads it
    bool read = false;
    bool flagged = false; // the web form's field for bots was filled
    /// Held as likely spam, and why ("疑似垃圾（含链接）"); empty: not held.
    std::string held = {};
    /// It holds a reply key: its writer's tool fetches an answer.
    bool answerable = false;
    bool answered = false;  // the publisher answered it
    bool delivered = false; // and the writer's tool showed the answer
};

/// The publisher's answer to a comment.
struct AnswerRow {
    Text text;
    std::chrono::sys_seconds written{};
    std::chrono::sys_seconds delivered{}; // the epoch: not yet
};

/// One page of a comment list, and how many match in all.
struct CommentRows {
    std::vector<CommentRow> comments;
    std::int64_t total = 0;
};

/// Someone told of each new comment, and how sending to them goes.
struct RecipientRow {
    std::int64_t id = 0;
    bool email = false;                     // false: a webhook
    std::string kind;                       // "webhook" or "电子邮件"
    std::string address;                    // the webhook's URL or the e-mail address
    std::string smtp;                       // e-mail: the SMTP server's URL
    std::string user;                       // e-mail: the SMTP user, if any
    std::string caFile;                     // e-mail: a private CA's certificates
    bool flagged = false;                   // told of comments flagged as a bot's too
    std::chrono::sys_seconds lastSuccess{}; // the epoch: never
    std::string lastError;
    std::chrono::sys_seconds lastErrorAt{};
    std::int64_t failures = 0; // failed tries in a row
    /// When the failures in a row began; the epoch: none.
    std::chrono::sys_seconds failingSince{};
    std::int64_t givenUp = 0; // notifications dropped after a day of failures
    std::int64_t pending = 0; // notifications waiting in the outbox
};

/// One publish or clear of the release history. A row kept from before the
/// history began has the epoch for its time and no source.
struct ReleaseRow {
    std::int64_t id = 0;
    std::chrono::sys_seconds time{};
    bool published = false; // false: a clear, with empty fields
    Release release;
    std::string source; // where it was done: "命令行" or "管理页面"
    Platform platform = Platform::Windows;
    /// The file the server serves at the release's address, if any.
    std::optional<ReleaseFile> file = std::nullopt;
};

/// The release history's newest rows, and how many there are in all.
struct ReleaseRows {
    std::vector<ReleaseRow> changes;
    std::int64_t total = 0;
};

/// One line of the audit log.
struct AuditRow {
    std::int64_t id = 0;
    std::chrono::sys_seconds time{};
    std::string action; // what was done, as the publisher reads it
    std::string detail;
    std::string source;  // where it was done: "命令行" or "管理页面"
    std::string address; // the admin's own address, on logins only
};

/// One page of the audit log, and how many lines there are in all.
struct AuditRows {
    std::vector<AuditRow> entries;
    std::int64_t total = 0;
};

} // namespace pelvoran::server
