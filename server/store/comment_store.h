#pragma once

#include "platform/text.h"
#include "server/engine/sql.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

class AuditLog;
class Connection;

/// Where a comment came from.
inline constexpr char kFromDesktop[] = "desktop";
inline constexpr char kFromWeb[] = "web";

struct NewComment {
    Text text;
    std::string raw; // the body as it arrived
    std::string source;
    std::chrono::sys_seconds received{};
    bool flagged = false; // the web form's field for bots was filled
    /// Who sent it (an address, or a network), never stored: the writer
    /// tells a second try of a comment whose commit was uncertain by it.
    std::string client{};
    /// Why it is held for the publisher as likely spam, in a word of
    /// comment_hold.h ("link"...); empty: it is not.
    std::string held{};
    /// The SHA-256 of the tool's reply secret or of the web form's reply
    /// code, base64url (isReplyKey), with which its writer reads an answer;
    /// empty: none.
    std::string replyKey{};
};

/// Whether `key` is a reply key as the tools send it: 43 base64url
/// characters, the SHA-256 of a secret without padding.
bool isReplyKey(std::string_view key);

/// Where the publisher's answer to a comment stands.
enum class AnswerMark { None, Answered, Delivered };

struct StoredComment {
    std::int64_t id = 0;
    std::chrono::sys_seconds received{};
    Text text;
    std::string source;
    bool read = false;
    bool flagged = false;
    std::string held{};      // why it is held as likely spam; empty: it is not
    bool answerable = false; // it holds a reply key
    AnswerMark answer = AnswerMark::None;
};

/// The lists of the comments page: the comments neither held nor flagged,
/// those flagged as a bot's (and not held), those held as likely spam.
enum class CommentList { Listed, Flagged, Held };

/// One page of a comment list, and how many match in all.
struct CommentPage {
    std::vector<StoredComment> comments;
    std::int64_t total = 0;
};

/// How many comments there are, and when the newest came (the epoch: none).
struct CommentCount {
    std::int64_t count = 0;
    std::chrono::sys_seconds newest{};
};

/// The comments: stored, listed, read, marked and deleted. The publisher's
/// acts (marking all read, deleting) are logged in the audit log, in the
/// same transaction, as coming from `source` (kByCommandLine or kByPages).
class CommentStore {
public:
    CommentStore(Connection& connection, AuditLog& audit)
        : connection_(connection), audit_(audit) {}

    /// Stores the comments in one transaction; when this returns, they are
    /// durable, and so is a notification of each, due now, for every
    /// recipient there is (of a flagged one, for those who asked; of a held
    /// one, for none). Throws StoreError and stores none of them otherwise.
    /// A reply key is kept only when no comment holds it yet. Returns, for
    /// each comment in order, its number when its reply key was kept, else 0.
    std::vector<std::int64_t> insert(const std::vector<NewComment>& comments);

    /// Comments received at or after `since` (all when nullopt), newest first.
    std::vector<StoredComment> list(std::optional<std::chrono::sys_seconds> since = std::nullopt);
    /// Comments of the list `which` whose text contains `search` (all when
    /// empty), newest first.
    CommentPage page(const std::string& search, CommentList which, std::int64_t offset,
                     std::int64_t limit);
    std::optional<StoredComment> find(std::int64_t id);
    /// Unread comments, of those neither held nor flagged.
    std::int64_t unreadCount();
    /// Comments held as likely spam.
    std::int64_t heldCount();
    /// Whether a comment whose body arrived as `raw` was received at or
    /// after `since`: nullopt when none was; else the number of the one
    /// that holds the reply key `replyKey`, or 0 when none holds it.
    std::optional<std::int64_t> storedSince(const std::string& raw, const std::string& replyKey,
                                            std::chrono::sys_seconds since);
    CommentCount countAndNewest();
    /// The highest comment number ever handed out (0 when none was).
    std::int64_t highestNumber();

    /// False when there is no such comment.
    bool markRead(std::int64_t id, bool read);
    /// Marks every comment read; how many were unread.
    std::int64_t markAllRead(const std::string& source);
    /// Lets the held comment `id` through: an ordinary comment from now on,
    /// notified then, once, as a new one is. False when there is no such
    /// comment or it is not held.
    bool approve(std::int64_t id, const std::string& source);

    /// Deletes the comments `ids` in one transaction, all or none: the
    /// numbers of those not there (nothing deleted then), empty when all
    /// went. Their bytes are overwritten in the file (secure_delete) and the
    /// WAL is checkpointed and emptied (PostgreSQL: the table is written
    /// anew); remnant() says where the text stays when that was not done.
    std::vector<std::int64_t> remove(const std::vector<std::int64_t>& ids,
                                     const std::string& source);
    /// Deletes every comment flagged as a bot's and not held, as remove()
    /// does; how many there were.
    std::int64_t removeFlagged(const std::string& source);
    /// Where the last deletion left deleted text: none, or where a reader
    /// (SQLite) or a table too busy or too large (PostgreSQL) kept its
    /// compaction from being done within the busy timeout.
    Remnant remnant() const { return remnant_; }

private:
    /// Rids the database's files of what was just deleted
    /// (Connection::compactAfterDeletion).
    void checkpoint();

    Connection& connection_;
    AuditLog& audit_;
    Remnant remnant_ = Remnant::none;
};

} // namespace pelvoran::server
