#include "server/store/store.h"

#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

#include <set>

namespace pelvoran::server {

std::optional<StoredComment> Database::comment(std::int64_t id) {
    Statement s(db_, "SELECT id, received, text, source, read, flagged FROM comments WHERE id = ?");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return StoredComment{s.integer(0), s.integer(1),      s.utf16(2),
                         s.text(3),    s.integer(4) != 0, s.integer(5) != 0};
}

std::int64_t Database::markAllRead(const std::string& source) {
    Transaction transaction(*connection_);
    exec("UPDATE comments SET read = 1 WHERE read = 0 AND flagged = 0");
    const std::int64_t marked = sqlite3_changes(db_);
    appendAudit("全部标为已读", std::to_string(marked) + " 条未读留言", source);
    transaction.commit();
    return marked;
}

std::vector<std::int64_t> Database::deleteComments(const std::vector<std::int64_t>& ids,
                                                   const std::string& source) {
    std::vector<std::int64_t> missing;
    {
        Transaction transaction(*connection_);
        Statement s(db_, "DELETE FROM comments WHERE id = ?");
        // A number given twice is deleted once, not missing the second time.
        std::string numbers;
        for (const std::int64_t id : std::set<std::int64_t>(ids.begin(), ids.end())) {
            s.bind(1, id);
            s.step();
            s.reset();
            if (sqlite3_changes(db_) != 1)
                missing.push_back(id);
            numbers += (numbers.empty() ? "#" : "、#") + std::to_string(id);
        }
        if (!missing.empty()) {
            transaction.rollback();
            return missing;
        }
        appendAudit("删除留言", numbers, source); // the numbers, never the text
        transaction.commit();
    }
    checkpoint();
    return missing;
}

std::int64_t Database::deleteFlagged(const std::string& source) {
    std::int64_t deleted = 0;
    {
        Transaction transaction(*connection_);
        exec("DELETE FROM comments WHERE flagged = 1");
        deleted = sqlite3_changes(db_);
        appendAudit("删除疑似机器人留言", std::to_string(deleted) + " 条", source);
        transaction.commit();
    }
    checkpoint();
    return deleted;
}

void Database::checkpoint() {
    // TRUNCATE waits (busy timeout) for readers of older frames, copies every
    // frame into the file, syncs it and cuts the WAL to nothing.
    Statement s(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
    s.step();
    wiped_ = s.integer(0) == 0;
}

} // namespace pelvoran::server
