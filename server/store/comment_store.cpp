#include "server/store/comment_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"
#include "server/store/audit_log.h"
#include "server/store/store_texts.h"

#include <algorithm>
#include <map>
#include <set>

namespace pelvoran::server {
namespace {

constexpr char kCommentColumns[] =
    "SELECT id, received, text, source, read, flagged, held, reply_key <> '', "
    "coalesce((SELECT CASE WHEN delivered <> 0 THEN 2 ELSE 1 END FROM answers "
    "WHERE comment_id = comments.id), 0) FROM comments ";

StoredComment readComment(Statement& s) {
    return {s.integer(0), s.seconds(1),      s.utf16(2),
            s.text(3),    s.integer(4) != 0, s.integer(5) != 0,
            s.text(6),    s.integer(7) != 0, static_cast<AnswerMark>(s.integer(8))};
}

/// Queues a notification of each comment of `ids` (a list of "?", bound
/// from `at` to `numbers`) for every recipient, of a flagged one only for
/// those who asked, of a held one for none; due `now`.
void queueNotifications(Connection& connection, const std::string& ids,
                        const std::vector<std::int64_t>& numbers, MillisTime now) {
    Statement queue(connection,
                    "INSERT INTO notify_outbox (comment, recipient, queued, due) SELECT c.id, "
                    "r.id, ?, ? FROM comments c, notify_recipients r WHERE (r.flagged = 1 OR "
                    "c.flagged = 0) AND c.held = '' AND c.id IN (" +
                        ids + ")");
    queue.bind(1, now);
    queue.bind(2, now);
    int p = 3;
    for (const std::int64_t number : numbers)
        queue.bind(p++, number);
    queue.step();
}

/// The condition of each list of the comments page.
const char* listCondition(CommentList which) {
    switch (which) {
    case CommentList::Listed: return "held = '' AND flagged = 0";
    case CommentList::Flagged: return "held = '' AND flagged = 1";
    case CommentList::Held: return "held <> ''";
    }
    return "held <> ''";
}

std::vector<StoredComment> readComments(Statement& s) {
    std::vector<StoredComment> out;
    while (s.step())
        out.push_back(readComment(s));
    return out;
}

} // namespace

bool isReplyKey(std::string_view key) {
    return key.size() == 43 && std::all_of(key.begin(), key.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

std::vector<std::int64_t> CommentStore::insert(const std::vector<NewComment>& comments) {
    const MillisTime now = millisNow();
    Transaction transaction(connection_);
    // A reply key another comment holds (or one before it in the batch) is
    // not kept: the comment is, not answerable.
    std::map<std::string, std::size_t> keys; // kept, by comment
    for (std::size_t i = 0; i < comments.size(); ++i) {
        const std::string& key = comments[i].replyKey;
        if (key.empty() || keys.contains(key))
            continue;
        Statement held(connection_, "SELECT count(*) FROM comments WHERE reply_key = ?");
        held.bind(1, key);
        held.step();
        if (held.integer(0) == 0)
            keys.emplace(key, i);
    }
    std::vector<std::int64_t> kept(comments.size(), 0);
    // A statement for many rows: on PostgreSQL each statement is a round
    // trip, and a batch of comments should cost a few, not two each.
    constexpr std::size_t kRowsPerStatement = 100;
    for (std::size_t at = 0; at < comments.size(); at += kRowsPerStatement) {
        const std::size_t n = std::min(kRowsPerStatement, comments.size() - at);
        std::string rows, ids;
        for (std::size_t i = 0; i < n; ++i) {
            rows += i == 0 ? "(?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?)";
            ids += i == 0 ? "?" : ", ?";
        }
        Statement s(connection_,
                    "INSERT INTO comments (received, text, raw, source, flagged, held, "
                    "reply_key) VALUES " +
                        rows + " RETURNING id, reply_key");
        int p = 1;
        for (std::size_t i = at; i < at + n; ++i) {
            const NewComment& c = comments[i];
            s.bind(p++, c.received);
            s.bind(p++, TextView(c.text));
            s.bindBlob(p++, c.raw);
            s.bind(p++, c.source);
            s.bind(p++, std::int64_t{c.flagged});
            s.bind(p++, c.held);
            const auto key = keys.find(c.replyKey);
            s.bind(p++, key != keys.end() && key->second == i ? c.replyKey : std::string());
        }
        std::vector<std::int64_t> numbers;
        while (s.step()) {
            numbers.push_back(s.integer(0));
            if (const auto key = keys.find(s.text(1)); key != keys.end())
                kept[key->second] = s.integer(0);
        }
        // The comments' notifications are queued in their own transaction:
        // none is lost, none is sent of a comment that was not stored.
        queueNotifications(connection_, ids, numbers, now);
    }
    transaction.commit();
    return kept;
}

std::vector<StoredComment> CommentStore::list(std::optional<std::chrono::sys_seconds> since) {
    Statement s(connection_, std::string(kCommentColumns) +
                                 "WHERE received >= ? ORDER BY received DESC, id DESC");
    s.bind(1, since.value_or(std::chrono::sys_seconds::min()));
    return readComments(s);
}

CommentPage CommentStore::page(const std::string& search, CommentList which, std::int64_t offset,
                               std::int64_t limit) {
    // The text as typed: no pattern characters to escape.
    const std::string where = std::string("WHERE ") + listCondition(which) + " AND (? = '' OR " +
                              connection_.textContains("text", "?") + ") ";
    CommentPage page;
    {
        Statement s(connection_, "SELECT count(*) FROM comments " + where);
        s.bind(1, search);
        s.bind(2, search);
        s.step();
        page.total = s.integer(0);
    }
    Statement s(connection_, std::string(kCommentColumns) + where +
                                 "ORDER BY received DESC, id DESC LIMIT ? OFFSET ?");
    s.bind(1, search);
    s.bind(2, search);
    s.bind(3, limit);
    s.bind(4, offset);
    page.comments = readComments(s);
    return page;
}

std::optional<StoredComment> CommentStore::find(std::int64_t id) {
    Statement s(connection_, std::string(kCommentColumns) + "WHERE id = ?");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return readComment(s);
}

std::optional<std::int64_t> CommentStore::storedSince(const std::string& raw,
                                                      const std::string& replyKey,
                                                      std::chrono::sys_seconds since) {
    Statement s(connection_, "SELECT count(*), coalesce(max(CASE WHEN reply_key = ? AND "
                             "reply_key <> '' THEN id END), 0) FROM comments WHERE raw = ? AND "
                             "received >= ?");
    s.bind(1, replyKey);
    s.bindBlob(2, raw);
    s.bind(3, since);
    s.step();
    if (s.integer(0) == 0)
        return std::nullopt;
    return s.integer(1);
}

std::int64_t CommentStore::unreadCount() {
    Statement s(connection_,
                "SELECT count(*) FROM comments WHERE read = 0 AND flagged = 0 AND held = ''");
    s.step();
    return s.integer(0);
}

std::int64_t CommentStore::heldCount() {
    Statement s(connection_, "SELECT count(*) FROM comments WHERE held <> ''");
    s.step();
    return s.integer(0);
}

CommentCount CommentStore::countAndNewest() {
    Statement s(connection_, "SELECT count(*), coalesce(max(received), 0) FROM comments");
    s.step();
    return {s.integer(0), s.seconds(1)};
}

std::int64_t CommentStore::highestNumber() {
    return connection_.highestNumber("comments");
}

bool CommentStore::markRead(std::int64_t id, bool read) {
    Statement s(connection_, "UPDATE comments SET read = ? WHERE id = ?");
    s.bind(1, std::int64_t{read});
    s.bind(2, id);
    s.step();
    return connection_.changes() == 1;
}

std::int64_t CommentStore::markAllRead(const std::string& source) {
    Transaction transaction(connection_);
    connection_.exec("UPDATE comments SET read = 1 WHERE read = 0 AND flagged = 0 AND held = ''");
    const std::int64_t marked = connection_.changes();
    audit_.append(store_text::kMarkedAllRead, store_text::unreadComments(marked), source);
    transaction.commit();
    return marked;
}

bool CommentStore::approve(std::int64_t id, const std::string& source) {
    Transaction transaction(connection_);
    Statement s(connection_, "UPDATE comments SET held = '' WHERE id = ? AND held <> ''");
    s.bind(1, id);
    s.step();
    if (connection_.changes() != 1)
        return false; // nothing changed: the transaction ends without a commit
    // Notified now, as it would have been when it came.
    queueNotifications(connection_, "?", {id}, millisNow());
    audit_.append(store_text::kApprovedHeld, "#" + std::to_string(id), source);
    transaction.commit();
    return true;
}

std::vector<std::int64_t> CommentStore::remove(const std::vector<std::int64_t>& ids,
                                               const std::string& source) {
    std::vector<std::int64_t> missing;
    {
        Transaction transaction(connection_);
        Statement s(connection_, "DELETE FROM comments WHERE id = ?");
        // A number given twice is deleted once, not missing the second time.
        std::string numbers;
        for (const std::int64_t id : std::set<std::int64_t>(ids.begin(), ids.end())) {
            s.bind(1, id);
            s.step();
            s.reset();
            if (connection_.changes() != 1)
                missing.push_back(id);
            numbers += (numbers.empty() ? "#" : "、#") + std::to_string(id);
        }
        if (!missing.empty()) {
            transaction.rollback();
            return missing;
        }
        audit_.append(store_text::kDeletedComments, numbers, source); // the numbers, never the text
        transaction.commit();
    }
    checkpoint();
    return missing;
}

std::int64_t CommentStore::removeFlagged(const std::string& source) {
    std::int64_t deleted = 0;
    {
        Transaction transaction(connection_);
        connection_.exec("DELETE FROM comments WHERE flagged = 1 AND held = ''");
        deleted = connection_.changes();
        audit_.append(store_text::kDeletedFlagged, store_text::commentCount(deleted), source);
        transaction.commit();
    }
    checkpoint();
    return deleted;
}

void CommentStore::checkpoint() {
    remnant_ = connection_.compactAfterDeletion({"comments", "answers"});
}

} // namespace pelvoran::server
