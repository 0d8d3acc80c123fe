// The server's parts on their own, without sockets: the store against old,
// newer and full databases, the comment writer's batches and failures, the
// database's health, the route table, the site's answers, and the comment
// bodies of the tools in the field.
#include "server/admin/admin_site.h"
#include "server/admin/metrics.h"
#include "server/comments/comment_decoding.h"
#include "server/daemon/site.h"
#include "server/http/handler.h"
#include "server/http/limits.h"
#include "server/http/routes.h"
#include "server/release/release_reply.h"
#include "server/store/backups.h"
#include "server/store/comment_writer.h"
#include "server/store/health.h"
#include "server/store/store.h"
#include "server/store/use_counter.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

namespace {

/// A plain SQLite connection of the test's own, beside the store's.
class Raw {
public:
    explicit Raw(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~Raw() { sqlite3_close(db_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
    int exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    std::int64_t count() { return scalar("SELECT count(*) FROM comments"); }
    /// Every row of `table`, each as its values' SQL literals, in order.
    std::vector<std::string> rows(const std::string& table) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, ("SELECT * FROM \"" + table + "\" ORDER BY 1, 2").c_str(), -1, &s,
                           nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const auto* text = sqlite3_column_text(s, i);
                row += (i ? "|" : "") + std::to_string(sqlite3_column_type(s, i)) + ":" +
                       (text ? reinterpret_cast<const char*>(text) : "");
            }
            out.push_back(row);
        }
        sqlite3_finalize(s);
        return out;
    }
    std::vector<std::string> texts(const char* sql) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW)
            out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
        return out;
    }
    std::int64_t scalar(const char* sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_finalize(s);
        return n;
    }

private:
    sqlite3* db_ = nullptr;
};

NewComment comment(const std::string& text) {
    return {fromUtf8Lenient(text), "CommentText=" + text, kFromDesktop, 1700000000};
}

/// Collects the writer's answers and waits for them.
struct Answers {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<bool> stored;
    CommentWriter::Done done() {
        return [this](bool ok) {
            const std::lock_guard lock(mutex);
            stored.push_back(ok);
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t n) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 20s, [&] { return stored.size() >= n; });
    }
};

} // namespace

// A database of the first schema is brought up to date with what it holds;
// one of a newer server is refused, not changed.
TEST(Store, MigratesOldDatabasesAndRefusesNewerOnes) {
    const test::TempDir dir;
    const std::string path = dir.path() + "/comments.sqlite";
    {
        Raw v1(path);
        ASSERT_EQ(v1.exec("CREATE TABLE comments (id INTEGER PRIMARY KEY, received INTEGER NOT "
                          "NULL, text TEXT NOT NULL, raw BLOB NOT NULL, source TEXT NOT NULL);"
                          "CREATE INDEX comments_by_time ON comments (received);"
                          "CREATE TABLE release (only INTEGER PRIMARY KEY CHECK (only = 1), "
                          "version TEXT NOT NULL, address TEXT NOT NULL, date TEXT NOT NULL, "
                          "notes TEXT NOT NULL);"
                          "INSERT INTO comments VALUES (7, 1700000000, '旧留言', x'41', 'desktop');"
                          "INSERT INTO release VALUES (1, '1.06', 'http://x.cn/', 'd', 'n');"
                          "PRAGMA user_version=1;"),
                  SQLITE_OK);
    }
    {
        Database db(path);
        EXPECT_EQ(db.schemaVersion(), 8);
        const auto kept = db.comments();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].id, 7);
        EXPECT_EQ(toUtf8(kept[0].text), "旧留言");
        EXPECT_FALSE(kept[0].read);
        EXPECT_EQ(db.unreadCount(), 1);
        ASSERT_TRUE(db.release());
        EXPECT_EQ(db.release()->version, u"1.06");
        // What was live before the history began is its first row, of no
        // known time or source: it can be published again.
        const auto history = db.releaseHistory(10).changes;
        ASSERT_EQ(history.size(), 1u);
        EXPECT_EQ(history[0].release, *db.release());
        EXPECT_EQ(history[0].time, 0);
        EXPECT_EQ(db.release()->signature, ""); // published before signatures: unsigned
    }
    // Numbers are never handed out twice: not those of the migrated comments,
    // not after the newest comment is deleted.
    for (const std::int64_t expected : {8, 9}) {
        ASSERT_EQ(Raw(path).exec("DELETE FROM comments WHERE id = (SELECT max(id) FROM comments)"),
                  SQLITE_OK);
        Database db(path);
        db.insert({NewComment{u"新", "", kFromWeb, 1700000001, false}});
        EXPECT_EQ(db.comments().front().id, expected);
    }
    Raw(path).exec("PRAGMA user_version=9");
    try {
        Database newer(path);
        ADD_FAILURE() << "a database of schema 9 was opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("更新版本的服务器"), std::string::npos) << e.what();
    }
    Raw left(path);
    EXPECT_EQ(left.scalar("PRAGMA user_version"), 9) << "a refused database is not changed";
    EXPECT_EQ(left.count(), 1);
}

// Every publish and clear is a row of the release history and a line of the
// audit log, newest first, with where it came from.
TEST(Store, ReleaseHistoryKeepsEveryPublishAndClear) {
    const test::TempDir dir;
    Database db(dir.path() + "/comments.sqlite");
    const Release first{u"1.06", u"http://x.cn/1", u"一月", u"说明\n两行"};
    const Release second{u"1.07", u"http://x.cn/2", u"二月", u""};
    db.setRelease(first, kByCommandLine);
    db.setRelease(second, kByPages);
    db.clearRelease(kByCommandLine);
    db.setRelease(first, kByPages, "重新发布", "（发布记录 #1）");
    const struct {
        bool published;
        Release release;
        const char* source;
        const char* action; // and the detail of the audit log
        const char* detail;
    } expected[] = {
        {true, first, kByPages, "重新发布", "1.06（发布记录 #1）"},
        {false, {}, kByCommandLine, "撤下", "撤下了 1.07"},
        {true, second, kByPages, "发布", "1.07"},
        {true, first, kByCommandLine, "发布", "1.06"},
    };
    const ReleaseHistory history = db.releaseHistory(3);
    EXPECT_EQ(history.total, 4);
    ASSERT_EQ(history.changes.size(), 3u) << "the limit";
    const AuditPage log = db.auditLog(0, 10);
    ASSERT_EQ(log.entries.size(), 4u);
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        const auto change = db.releaseChange(4 - static_cast<std::int64_t>(i));
        ASSERT_TRUE(change) << i;
        if (i < history.changes.size()) {
            EXPECT_EQ(history.changes[i].id, change->id) << i;
        }
        EXPECT_EQ(change->published, e.published) << i;
        EXPECT_EQ(change->release, e.release) << i;
        EXPECT_EQ(change->source, e.source) << i;
        EXPECT_GT(change->time, 1700000000) << i;
        EXPECT_EQ(log.entries[i].action, e.action) << i;
        EXPECT_EQ(log.entries[i].detail, e.detail) << i;
        EXPECT_EQ(log.entries[i].source, e.source) << i;
        EXPECT_EQ(log.entries[i].address, "") << i;
    }
    EXPECT_FALSE(db.releaseChange(5));
}

// The audit log takes new lines and nothing else: no statement changes or
// deletes one, and a failed publish leaves neither its row nor its line.
TEST(Store, AuditLogOnlyGrows) {
    const test::TempDir dir;
    const std::string path = dir.path() + "/comments.sqlite";
    {
        Database db(path);
        db.appendAudit("登录", "用令牌登录", kByPages, "127.0.0.1");
        db.appendAudit("退出", "", kByPages);
    }
    Raw raw(path);
    const struct {
        const char* sql;
        int result;
    } cases[] = {
        {"UPDATE audit_log SET detail = 'x'", SQLITE_CONSTRAINT},
        {"UPDATE audit_log SET address = '' WHERE id = 1", SQLITE_CONSTRAINT},
        {"DELETE FROM audit_log WHERE id = 2", SQLITE_CONSTRAINT},
        {"DELETE FROM audit_log", SQLITE_CONSTRAINT},
        {"INSERT INTO audit_log (time, action, detail, source, address) "
         "VALUES (1, '恢复', '', '命令行', '')",
         SQLITE_OK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(raw.exec(c.sql), c.result) << c.sql;
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM audit_log"), 3);
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM audit_log WHERE detail = '用令牌登录' AND "
                         "address = '127.0.0.1'"),
              1)
        << "the login's line is as it was written";

    // A history row that cannot be written takes the publish with it.
    ASSERT_EQ(raw.exec("CREATE TRIGGER no_history BEFORE INSERT ON release_history "
                       "BEGIN SELECT RAISE(ABORT, 'full'); END"),
              SQLITE_OK);
    Database db(path);
    EXPECT_THROW(db.setRelease({u"1.06", u"http://x.cn/", u"", u""}, kByPages), StoreError);
    EXPECT_FALSE(db.release());
    EXPECT_EQ(db.auditLog(0, 10).total, 3);
}

// A backup comes back as the rows of every table of the schema, the highest
// number each table ever gave and the files it carries, into this server's
// own schema: when a table is added to the schema and not here, or not
// copied, this fails. A backup of the first schema comes back migrated.
TEST(Store, RestoreBringsBackEveryTableOfTheSchema) {
    const test::TempDir dir;
    const std::string source = dir.path() + "/source.sqlite", backup = dir.path() + "/b.sqlite";
    {
        Database db(source);
        Recipient r;
        r.address = "https://hooks.example/x";
        r.secret = "s";
        db.addRecipient(r); // each comment below is queued for it
        db.insert({comment("first"), comment("second"), comment("newest")});
        db.markRead(1, true);
        ASSERT_TRUE(db.deleteComments({3}, kByCommandLine).empty()); // its number stays given
        db.setRelease({u"1.06", u"https://x.cn/a", u"d", u"n"}, kByCommandLine);
        db.addUse({{20000, 5}});
        db.addSession("key", 1, 4);
        db.copyInto(backup); // as backup and the daily backups copy
    }
    const std::vector<StateFile> files = {{"update-key.pub", 0600, "digest", "key\n"}};
    addStateFiles(backup, files);
    const std::string fresh = dir.path() + "/fresh.sqlite";
    const RebuiltDatabase rebuilt = rebuildFromBackup(backup, fresh, "b.sqlite");
    EXPECT_EQ(rebuilt.leftOut, std::vector<std::string>{});
    ASSERT_EQ(rebuilt.files.size(), 1u);
    EXPECT_EQ(rebuilt.files[0].data, "key\n");
    Raw was(source), now(fresh);
    const char* schema = "SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM "
                         "sqlite_schema ORDER BY name";
    EXPECT_EQ(now.texts(schema), was.texts(schema)) << "not this server's own schema";
    const auto tables = now.texts("SELECT name FROM sqlite_schema WHERE type = 'table'");
    for (const std::string& table : tables) {
        EXPECT_FALSE(was.rows(table).empty()) << table << " has no rows: give it some here";
        EXPECT_EQ(now.rows(table), was.rows(table)) << table;
    }
    EXPECT_EQ(Database(fresh).highestCommentNumber(), 3);

    const std::string first = dir.path() + "/v1.sqlite";
    ASSERT_EQ(Raw(first).exec("CREATE TABLE comments (id INTEGER PRIMARY KEY, received INTEGER NOT "
                              "NULL, text TEXT NOT NULL, raw BLOB NOT NULL, source TEXT NOT NULL);"
                              "CREATE INDEX comments_by_time ON comments (received);"
                              "CREATE TABLE release (only INTEGER PRIMARY KEY CHECK (only = 1), "
                              "version TEXT NOT NULL, address TEXT NOT NULL, date TEXT NOT NULL, "
                              "notes TEXT NOT NULL);"
                              "INSERT INTO comments VALUES (7, 1700000000, '旧', x'41', 'web');"
                              "PRAGMA user_version=1;"),
              SQLITE_OK);
    EXPECT_EQ(rebuildFromBackup(first, dir.path() + "/from-v1.sqlite", "v1").schema, 1);
    Database migrated(dir.path() + "/from-v1.sqlite");
    EXPECT_EQ(migrated.schemaVersion(), was.scalar("PRAGMA user_version"));
    ASSERT_EQ(migrated.comments().size(), 1u);
    EXPECT_EQ(migrated.comments()[0].id, 7);
}

// A commit is answered only once it is durable; comments that wait for a
// busy database share the next commit; a commit that fails answers every
// comment of its batch "not stored", and none of them is there.
TEST(CommentWriter, BatchesAnswersOnlyWhenDurableAndFailsWhole) {
    const test::TempDir dir;
    const std::string path = dir.path() + "/comments.sqlite";
    Database(path).insert({comment("first")});
    Raw other(path);
    {
        CommentWriter writer(path, 5s);
        Answers answers;
        std::atomic<std::int64_t> seenWhenAnswered = -1;
        ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        writer.submit(comment("a"), [&](bool ok) {
            seenWhenAnswered = Raw(path).count(); // what a reader sees at that moment
            answers.done()(ok);
        });
        std::this_thread::sleep_for(200ms); // the writer waits for the lock now
        for (int i = 0; i < 20; ++i)
            writer.submit(comment("b" + std::to_string(i)), answers.done());
        ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
        ASSERT_TRUE(answers.waitFor(21));
        EXPECT_EQ(std::count(answers.stored.begin(), answers.stored.end(), true), 21);
        EXPECT_LE(writer.commits(), 2u) << "twenty comments that waited share a commit";
        EXPECT_GE(seenWhenAnswered, 2) << "answered before the commit";
    }
    EXPECT_EQ(other.count(), 22);

    CommentWriter writer(path, 50ms);
    Answers failed;
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    for (int i = 0; i < 5; ++i)
        writer.submit(comment("lost"), failed.done());
    ASSERT_TRUE(failed.waitFor(5));
    EXPECT_EQ(std::count(failed.stored.begin(), failed.stored.end(), false), 5);
    ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
    Answers after;
    writer.submit(comment("kept"), after.done());
    ASSERT_TRUE(after.waitFor(1));
    EXPECT_TRUE(after.stored[0]);
    EXPECT_EQ(other.count(), 23);
    writer.close();
    EXPECT_FALSE(writer.submit(comment("late"), after.done())) << "closed takes nothing";
}

// A full disk fails the transaction that met it, keeps what was committed
// and takes comments again once there is room.
TEST(Store, FullDiskFailsOneTransactionAndKeepsTheRest) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const test::TempDir dir;
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path()};
    const std::string path = dir.path() + "/comments.sqlite";
    Database db(path);
    std::size_t stored = 0;
    bool full = false;
    for (int i = 0; i < 100 && !full; ++i) {
        try {
            db.insert({comment(std::string(20000, 'x'))});
            ++stored;
        } catch (const StoreError&) {
            full = true;
        }
    }
    ASSERT_TRUE(full) << "512 KiB never filled";
    EXPECT_EQ(db.comments().size(), stored);
    EXPECT_EQ(Raw(path).count(), static_cast<std::int64_t>(stored));
}

// Health is lost while a comment could not be stored, and comes back with
// the cause gone; little room is said, but is no loss of its own.
// (Permissions, which root ignores, and a failed commit are the process
// test's.)
TEST(DatabaseHealth, FollowsWhetherACommentCouldBeStored) {
    const test::TempDir dir;
    struct Unmount {
        std::string at;
        ~Unmount() {
            if (!at.empty())
                ::umount2(at.c_str(), MNT_DETACH);
        }
    } unmount;
    // An 8 MiB file system: a 5 MiB file leaves less room than the longest
    // comment needs, and enough for others.
    if (::geteuid() == 0 && ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=8m") == 0)
        unmount.at = dir.path();
    const std::string path = dir.path() + "/comments.sqlite";
    Database(path).insert({comment("first")});
    DatabaseHealth health(dir.path(), 0ms);
    ASSERT_EQ(health.report(std::nullopt).text, "ok\n");
    Raw other(path);
    const std::string filler = dir.path() + "/filler";
    const struct {
        const char* cause;
        bool needsSmallFileSystem;
        std::function<void()> begin, end;
        bool ok;
        const char* said;
    } cases[] = {
        {"database file gone", false, [&] { std::filesystem::rename(path, path + ".away"); },
         [&] { std::filesystem::rename(path + ".away", path); }, false, "comments.sqlite 不可写"},
        {"another writer's transaction", false, [&] { other.exec("BEGIN IMMEDIATE"); },
         [&] { other.exec("COMMIT"); }, false, "无法开始写事务"},
        {"little room", true,
         [&] { std::ofstream(filler) << std::string(std::size_t(5) << 20, 'x'); },
         [&] { std::filesystem::remove(filler); }, true, "只剩"},
    };
    for (const auto& c : cases) {
        if (c.needsSmallFileSystem && unmount.at.empty())
            continue;
        c.begin();
        const HealthReport r = health.report(std::nullopt);
        EXPECT_EQ(r.ok, c.ok) << c.cause;
        EXPECT_NE(r.text.find(c.said), std::string::npos) << c.cause << ": " << r.text;
        c.end();
        EXPECT_EQ(health.report(std::nullopt).text, "ok\n") << c.cause;
    }
    Database(path).insert({comment("after")});
    EXPECT_EQ(Raw(path).count(), 2);
}

// The daily job backs up only a whole database: damage of an index alone
// is mended first, a copy set aside; damage that REINDEX cannot mend leaves
// the day without a backup, so that no damaged copy pushes a whole one out.
TEST(DatabaseHealth, DailyBackupIsOfAWholeDatabaseOnly) {
    const struct {
        const char* what;
        std::string table;
        std::string standIn; // the table's definition while its indexes are hidden
        const char* sql;     // run meanwhile
        bool whole;          // after the daily job
    } cases[] = {
        {"a comment missing from its index", "comments", "",
         "INSERT INTO comments (received, text, raw, source) VALUES (1, 'x', x'', 'web')", true},
        {"a key there twice", "admin_sessions",
         "CREATE TABLE admin_sessions (key TEXT, expires INTEGER NOT NULL, used INTEGER NOT NULL)",
         "INSERT INTO admin_sessions VALUES ('k', 1, 1), ('k', 2, 2)", false},
    };
    for (const auto& c : cases) {
        const test::TempDir dir;
        const std::string path = dir.path() + "/comments.sqlite";
        Database(path).insert({comment("first")});
        const std::string rows = "FROM sqlite_schema WHERE tbl_name = '" + c.table + "'";
        const auto saved = Raw(path).texts(
            ("SELECT 'INSERT INTO sqlite_schema VALUES (' || quote(type) || ', ' || quote(name) "
             "|| ', ' || quote(tbl_name) || ', ' || rootpage || ', ' || quote(sql) || ')' " +
             rows)
                .c_str());
        ASSERT_EQ(
            Raw(path).exec("PRAGMA writable_schema=ON; DELETE " + rows + " AND type = 'index';" +
                           (c.standIn.empty() ? ""
                                              : "UPDATE sqlite_schema SET sql = '" + c.standIn +
                                                    "' WHERE name = '" + c.table + "'")),
            SQLITE_OK);
        ASSERT_EQ(Raw(path).exec(c.sql), SQLITE_OK) << c.what;
        {
            Raw raw(path);
            ASSERT_EQ(raw.exec("PRAGMA writable_schema=ON; DELETE " + rows), SQLITE_OK);
            for (const std::string& row : saved)
                ASSERT_EQ(raw.exec(row), SQLITE_OK) << row;
        }
        Database db(path);
        ASSERT_FALSE(db.integrityProblems().empty()) << c.what << ": no damage made";
        dailyBackup(dir.path(), db);
        std::map<std::string, int> made; // by the name's beginning
        for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/backups"))
            ++made[e.path().filename().string().substr(0, e.path().filename().string().find('-'))];
        EXPECT_EQ(made["comments"], c.whole ? 1 : 0) << c.what;
        EXPECT_EQ(made["index"], c.whole ? 1 : 0) << c.what << ": the copy set aside";
        EXPECT_EQ(db.integrityProblems().empty(), c.whole) << c.what;
    }
}

TEST(Routes, OneTableForBothListeners) {
    const struct {
        bool admin;
        const char* method;
        const char* path;
        Route route;
        const char* allow;
    } cases[] = {
        {false, "GET", "/Canon/LensCheck.asp", Route::UpdateCheck, ""},
        {false, "HEAD", "/Canon/LensCheck.asp", Route::UpdateCheck, ""},
        {false, "POST", "/Canon/LensCheck.asp", Route::NotAllowed, "GET, HEAD"},
        {false, "POST", "/Canon/comment.asp", Route::DesktopComment, ""},
        {false, "GET", "/Canon/comment.asp", Route::NotAllowed, "POST"},
        {false, "POST", "/comment", Route::WebComment, ""},
        {false, "GET", "/", Route::LookupPage, ""},
        {false, "GET", "/thanks", Route::CommentThanks, ""},
        {false, "POST", "/thanks", Route::NotAllowed, "GET, HEAD"},
        {false, "PUT", "/nothing", Route::NotAllowed, "GET, HEAD"},
        {false, "GET", "/comments", Route::NotFound, ""}, // admin pages are not public
        {false, "GET", "/canon/lenscheck.asp", Route::NotFound, ""},
        {true, "GET", "/Canon/LensCheck.asp", Route::NotFound, ""},
        {true, "GET", "/release", Route::AdminRelease, ""},
        {true, "POST", "/release", Route::AdminRelease, ""},
        {true, "GET", "/comments/mark", Route::NotAllowed, "POST"},
        {true, "GET", "/comments/delete", Route::AdminDelete, ""},
        {true, "POST", "/comments/delete", Route::AdminDelete, ""},
        {true, "GET", "/comments/read-all", Route::NotAllowed, "POST"},
        {false, "GET", "/comments/delete", Route::NotFound, ""},
        {true, "GET", "/style.css", Route::StyleSheet, ""},
        {true, "DELETE", "/use", Route::NotAllowed, "GET, HEAD"},
        {true, "POST", "/release/republish", Route::AdminRepublish, ""},
        {true, "GET", "/release/republish", Route::NotAllowed, "POST"},
        {true, "GET", "/audit", Route::AdminAudit, ""},
        {true, "POST", "/audit", Route::NotAllowed, "GET, HEAD"},
        {false, "GET", "/audit", Route::NotFound, ""},
    };
    for (const auto& c : cases) {
        const RouteMatch m = findRoute(c.admin, c.method, c.path);
        EXPECT_EQ(m.route, c.route) << c.method << " " << c.path;
        EXPECT_STREQ(m.allow, c.allow) << c.method << " " << c.path;
    }
    // Under a prefix the page moves and the tools' two paths stay.
    const struct {
        const char* method;
        const char* path;
        Route route;
    } prefixed[] = {
        {"GET", "/p/", Route::LookupPage},
        {"GET", "/p/style.css", Route::StyleSheet},
        {"GET", "/p/help.png", Route::HelpPhoto},
        {"POST", "/p/comment", Route::WebComment},
        {"GET", "/p/thanks", Route::CommentThanks},
        {"GET", "/", Route::NotFound},
        {"GET", "/style.css", Route::NotFound},
        {"GET", "/p", Route::NotFound},
        {"GET", "/Canon/LensCheck.asp", Route::UpdateCheck},
        {"POST", "/Canon/comment.asp", Route::DesktopComment},
        {"GET", "/p/Canon/LensCheck.asp", Route::NotFound},
        {"GET", "/healthz", Route::Health}, // where a monitor looks, whatever the prefix
        {"GET", "/p/healthz", Route::Health},
    };
    for (const auto& c : prefixed)
        EXPECT_EQ(findRoute(false, c.method, c.path, "/p/").route, c.route) << c.path;
    EXPECT_TRUE(isAdminPage("/comments"));
    EXPECT_FALSE(isAdminPage("//evil.example/x"));
    EXPECT_FALSE(isAdminPage("/comments/mark")) << "a POST, never a place to land";
}

// The site answers without sockets: the update check from the published
// release, counted for GET only; a comment once durable; the limit; each
// counted for /metrics.
TEST(Site, AnswersUpdateChecksAndComments) {
    const test::TempDir dir;
    const std::string path = dir.path() + "/comments.sqlite";
    UseCounter use;
    ReleaseReply reply;
    reply.set(Release{u"1.07", u"http://x.cn/a.exe", u"2026-12-01", u"说明"});
    RateLimiter limiter(1, 0);
    CommentWriter writer(path);
    Metrics metrics;
    DatabaseHealth health(dir.path());
    AdminSite admin(dir.path(), adminToken(dir.path()), use, metrics, "");
    Site site({use, reply, limiter, writer, admin, metrics, health});
    auto ask = [&](const char* method, const char* url, const std::string& body = "") {
        Incoming in;
        in.match = findRoute(false, method, url);
        in.request.method = method;
        in.request.path = url;
        in.request.body = body;
        in.client = "203.0.113.5";
        std::promise<WebResponse> later;
        auto now = site.answer(in, [&](WebResponse w) { later.set_value(std::move(w)); });
        return now ? *now : later.get_future().get();
    };
    const WebResponse check = ask("GET", "/Canon/LensCheck.asp");
    EXPECT_EQ(check.body,
              replyBody(Release{u"1.07", u"http://x.cn/a.exe", u"2026-12-01", u"说明"}));
    ask("HEAD", "/Canon/LensCheck.asp");
    std::int64_t counted = 0;
    for (const auto& [day, n] : use.pending())
        counted += n;
    EXPECT_EQ(counted, 1) << "HEAD is not a tool's check";

    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "CommentText=%BE%B5").status, 200u);
    EXPECT_EQ(Raw(path).count(), 1) << "answered 200 before it was stored";
    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "CommentText=again").status, 429u);
    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "Text=x").status, 400u);
    EXPECT_EQ(ask("GET", "/Canon/comment.asp").status, 405u);
    EXPECT_EQ(ask("GET", "/nothing").status, 404u);
    EXPECT_EQ(ask("GET", "/healthz").status, 200u);
    EXPECT_EQ(metrics.updateChecks(), 1u);
    EXPECT_EQ(metrics.commentsStored(), 1u);
    EXPECT_EQ(metrics.refusals(),
              (std::map<unsigned, std::uint64_t>{{400, 1}, {413, 0}, {429, 1}, {503, 0}}));
    writer.close();
}

// Each body as one of the two kinds of tool in the field writes it, and the
// text the publisher reads.
TEST(CommentBodies, BothKindsOfToolAreReadAsMeant) {
    const struct {
        std::string body;
        std::string text;
    } cases[] = {
        {"CommentText=%BE%B5%CD%B7", "镜头"},
        {"CommentText=a%26b%3Dc", "a&b=c"},
        {"CommentText=a&b=c", "a&b=c"}, // published 1.05
        {"CommentText=50%25 off%2B1", "50% off+1"},
        {"CommentText=50% off+1", "50% off+1"}, // published 1.05
        {"CommentText=%26%23128512%3B", "😀"},
        {"CommentText=%26%2354620%3B%26%2365%3b", "한A"},
        {"CommentText=%26#65;", "&#65;"}, // typed literally
        {"CommentText=%80", "€"},
        {"CommentText=%26%230%3B", "&#0;"},
        {"CommentText=%26%2355357%3B", "&#55357;"},     // a surrogate
        {"CommentText=%26%231114112%3B", "&#1114112;"}, // above U+10FFFF
        {"CommentText=%26%2300000065%3B", "&#00000065;"},
        {"CommentText=a%0D%0Ab", "a\nb"},
        {"CommentText=a\rb\nc\r\nd%0Ae%0D", "a\nb\nc\nd\ne\n"},
        {"CommentText=\r\n", "\n"}, // line breaks are not blank
        {"CommentText=\t", "\t"},
        {"CommentText=\xE9\x95\x9C\xE5\xA4\xB4 ok", "镜头 ok"}, // raw UTF-8
        {"CommentText=\xE9\x95\x9C\xFFx", "镜\xEF\xBF\xBDx"},   // raw, then invalid
        {"CommentText=%BE%B5 \xE9\x95\x9C", "镜 镜"},
        {"CommentText=x=CommentText=y", "x=CommentText=y"},
        {"CommentText=%FF%FE!", "\xEF\xBF\xBD\xEF\xBF\xBD!"}, // invalid GBK
        {"CommentText=%BE", "\xEF\xBF\xBD"},                  // half a character
        {"CommentText=%4 %zz %", "%4 %zz %"},                 // truncated escapes
        {"CommentText=a%00b\x01", "a\xEF\xBF\xBD"
                                  "b\x01"},
        {"CommentText=%E3%80%80x", "銆€x"}, // escaped bytes are GBK, never UTF-8
    };
    for (const auto& c : cases) {
        const auto text = decodeDesktopComment(c.body);
        ASSERT_TRUE(text) << c.body;
        EXPECT_EQ(toUtf8(*text), c.text) << c.body;
    }
}
