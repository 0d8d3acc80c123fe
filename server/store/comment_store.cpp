#include "server/store/comment_store.h"

#include "server/store/audit_log.h"
#include "server/store/sql.h"
#include "server/store/transaction.h"

#include <set>

namespace pelvoran::server {
namespace {

constexpr char kCommentColumns[] =
    "SELECT id, received, text, source, read, flagged FROM comments ";

StoredComment readComment(Statement& s) {
    return {s.integer(0), s.seconds(1),      s.utf16(2),
            s.text(3),    s.integer(4) != 0, s.integer(5) != 0};
}

std::vector<StoredComment> readComments(Statement& s) {
    std::vector<StoredComment> out;
    while (s.step())
        out.push_back(readComment(s));
    return out;
}

} // namespace

void CommentStore::insert(const std::vector<NewComment>& comments) {
    const MillisTime now = millisNow();
    Transaction transaction(connection_);
    Statement s(connection_, "INSERT INTO comments (received, text, raw, source, flagged) "
                             "VALUES (?, ?, ?, ?, ?) RETURNING id");
    // The comment's notifications are queued in its own transaction: none
    // is lost, none is sent of a comment that was not stored.
    Statement queue(connection_, "INSERT INTO notify_outbox (comment, recipient, queued, due) "
                                 "SELECT ?3, id, ?1, ?1 FROM notify_recipients "
                                 "WHERE flagged = 1 OR ?2 = 0");
    for (const auto& c : comments) {
        s.bind(1, c.received);
        s.bind(2, TextView(c.text));
        s.bindBlob(3, c.raw);
        s.bind(4, c.source);
        s.bind(5, std::int64_t{c.flagged});
        s.step();
        const std::int64_t id = s.integer(0);
        s.reset();
        queue.bind(1, now);
        queue.bind(2, std::int64_t{c.flagged});
        queue.bind(3, id);
        queue.step();
        queue.reset();
    }
    transaction.commit();
}

std::vector<StoredComment> CommentStore::list(std::optional<std::chrono::sys_seconds> since) {
    Statement s(connection_, std::string(kCommentColumns) +
                                 "WHERE received >= ? ORDER BY received DESC, id DESC");
    s.bind(1, since.value_or(std::chrono::sys_seconds::min()));
    return readComments(s);
}

CommentPage CommentStore::page(const std::string& search, bool flagged, std::int64_t offset,
                               std::int64_t limit) {
    // instr() (PostgreSQL's strpos()) finds the text as typed: no pattern
    // characters to escape.
    const std::string where = std::string("WHERE flagged = ? AND (? = '' OR ") +
                              (connection_.postgres() ? "strpos" : "instr") + "(text, ?) > 0) ";
    CommentPage page;
    {
        Statement s(connection_, "SELECT count(*) FROM comments " + where);
        s.bind(1, std::int64_t{flagged});
        s.bind(2, search);
        s.bind(3, search);
        s.step();
        page.total = s.integer(0);
    }
    Statement s(connection_, std::string(kCommentColumns) + where +
                                 "ORDER BY received DESC, id DESC LIMIT ? OFFSET ?");
    s.bind(1, std::int64_t{flagged});
    s.bind(2, search);
    s.bind(3, search);
    s.bind(4, limit);
    s.bind(5, offset);
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

std::int64_t CommentStore::unreadCount() {
    Statement s(connection_, "SELECT count(*) FROM comments WHERE read = 0 AND flagged = 0");
    s.step();
    return s.integer(0);
}

CommentCount CommentStore::countAndNewest() {
    Statement s(connection_, "SELECT count(*), coalesce(max(received), 0) FROM comments");
    s.step();
    return {s.integer(0), s.seconds(1)};
}

std::int64_t CommentStore::highestNumber() {
    Statement s(connection_,
                connection_.postgres()
                    ? "SELECT greatest(coalesce(pg_sequence_last_value(pg_get_serial_sequence("
                      "'comments', 'id')::regclass), 0), coalesce((SELECT max(id) FROM comments), "
                      "0))"
                    : "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = "
                      "'comments'), 0), coalesce((SELECT max(id) FROM comments), 0))");
    s.step();
    return s.integer(0);
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
    connection_.exec("UPDATE comments SET read = 1 WHERE read = 0 AND flagged = 0");
    const std::int64_t marked = connection_.changes();
    audit_.append("全部标为已读", std::to_string(marked) + " 条未读留言", source);
    transaction.commit();
    return marked;
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
        audit_.append("删除留言", numbers, source); // the numbers, never the text
        transaction.commit();
    }
    checkpoint();
    return missing;
}

std::int64_t CommentStore::removeFlagged(const std::string& source) {
    std::int64_t deleted = 0;
    {
        Transaction transaction(connection_);
        connection_.exec("DELETE FROM comments WHERE flagged = 1");
        deleted = connection_.changes();
        audit_.append("删除疑似机器人留言", std::to_string(deleted) + " 条", source);
        transaction.commit();
    }
    checkpoint();
    return deleted;
}

void CommentStore::checkpoint() {
    // PostgreSQL's deleted rows go with its own VACUUM and its WAL's
    // recycling, which are the administrator's; nothing is left to do here.
    if (connection_.postgres())
        return;
    // TRUNCATE waits (busy timeout) for readers of older frames, copies every
    // frame into the file, syncs it and cuts the WAL to nothing.
    Statement s(connection_, "PRAGMA wal_checkpoint(TRUNCATE)");
    s.step();
    wiped_ = s.integer(0) == 0;
}

} // namespace pelvoran::server
