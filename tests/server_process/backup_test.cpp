// Backups and restores through the server's commands: a round trip, only
// the data brought back, refused when there is no room or the copy is not
// whole, a backup under a load of comments, a failed one that touches only
// its own file.
#include "server/cli/cli_texts.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;
namespace cli_text = pelvoran::server::cli_text;

namespace {

std::string schemaOf(const std::string& file) {
    return linesIn(file, "SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM "
                         "sqlite_schema ORDER BY type, name");
}

} // namespace

// restore brings back the backup's comments and release, keeps the database
// it replaces, sets aside today's backup of it so that serve makes the day's
// again, ends the admin sessions and the sign-in addresses waiting in the
// backup, and never hands a number out twice; it refuses, touching
// nothing, while serve runs or when the file is not a whole database of the
// server's.
TEST(ServerBackup, RestoreRoundTrip) {
    const TempDir state, work;
    const std::string dir = state.path();
    const std::string backup = work.path() + "/b.sqlite";
    const auto publish = [&](const std::string& version) {
        return runServerCommand({"release", "set", "--state", dir, "--version", version,
                                 "--address", "http://x.cn/", "--date", "d", "--notes", "n"})
            .status;
    };
    std::string signInBefore; // printed before the backup, never opened
    {
        ServerProcess server(dir);
        for (const char* text : {"a", "b"})
            ASSERT_EQ(statusOf(httpExchange(server.port(),
                                            post(kComment, std::string("CommentText=") + text))),
                      200);
        ASSERT_EQ(publish("1.06"), 0);
        signInBefore = signInQuery(dir); // in the backup too
        ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=c"))), 200);
        ASSERT_EQ(publish("1.07"), 0);
        ASSERT_TRUE(dailyBackupMade(dir, 20)); // today's, of the database replaced below
        const CommandResult busy = runServerCommand({"restore", backup, "--state", dir});
        EXPECT_EQ(busy.status, 1) << busy.err;
        EXPECT_NE(busy.err.find(dir), std::string::npos) << busy.err;
        // The socket too: it would start the service again at the next connection.
        EXPECT_NE(busy.err.find("systemctl stop pelvoran-server.socket pelvoran-server"),
                  std::string::npos)
            << busy.err;
    }
    const std::string garbage = work.path() + "/garbage.sqlite";
    std::ofstream(garbage) << "not a database";
    const std::string damaged = work.path() + "/damaged.sqlite";
    std::filesystem::copy_file(backup, damaged);
    overwrite(damaged, 4096, 2048, true);
    const std::string foreign = work.path() + "/foreign.sqlite";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const std::string newer = work.path() + "/newer.sqlite";
    std::filesystem::copy_file(backup, newer);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    for (const std::string& file : {garbage, damaged, foreign, newer, work.path() + "/missing"}) {
        const CommandResult r = runServerCommand({"restore", file, "--state", dir});
        EXPECT_EQ(r.status, 2) << file << r.out << r.err;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    }
    EXPECT_EQ(exported(dir), (std::vector<std::string>{"c", "b", "a"})) << "touched by a refusal";
    EXPECT_FALSE(std::filesystem::exists(dir + "/backups/") &&
                 std::any_of(std::filesystem::directory_iterator(dir + "/backups"),
                             std::filesystem::directory_iterator(), [](const auto& e) {
                                 return e.path().filename().string().starts_with("replaced");
                             }));

    const CommandResult r = runServerCommand({"restore", backup, "--state", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2 条"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1.06"), std::string::npos) << r.out;
    EXPECT_EQ(exported(dir), (std::vector<std::string>{"b", "a"}));
    EXPECT_NE(runServerCommand({"release", "show", "--state", dir}).out.find("1.06"),
              std::string::npos);
    // The backup's own audit log goes on: the publish after the backup is
    // not in it, the restore is, newest, with the file that came back.
    const std::string log = runServerCommand({"audit", "list", "--state", dir}).out;
    EXPECT_EQ(log.find("1.07"), std::string::npos) << log;
    EXPECT_LT(log.find(std::string(cli_text::kRestoredAction) + "  从备份 " + backup + " 恢复了"),
              log.find(std::string(cli_text::kPublishAction) + "  1.06"))
        << log;
    std::vector<std::string> replaced;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/backups"))
        if (e.path().filename().string().starts_with("replaced"))
            replaced.push_back(e.path());
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(countIn(replaced[0]), 3) << "the replaced database, as it was";
    // Today's backup, of the replaced database, set aside: serve makes the
    // day's backup again, of the restored data (below).
    EXPECT_NE(r.out.find("今天的每日备份是恢复前做的，已移到 " + dir + "/backups/before-restore-"),
              std::string::npos)
        << r.out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_FALSE(e.path().string().ends_with("-wal") || e.path().string().ends_with("-shm"))
            << e.path();

    // Into an empty state directory, as the package makes one, or one the
    // restore makes; not into a folder of other things. The summary says
    // what each platform will be offered.
    ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version", "1.07", "--address",
                                "http://x.cn/", "--date", "d", "--notes", "n", "--rollout", "10"})
                  .status,
              0);
    ASSERT_EQ(runServerCommand({"release", "rollout", "0", "--state", dir}).status, 0);
    const std::string halted = work.path() + "/halted.sqlite";
    ASSERT_EQ(runServerCommand({"backup", halted, "--state", dir}).status, 0);
    const TempDir empty;
    for (const std::string& into : {empty.path(), work.path() + "/new/state"}) {
        const CommandResult fresh = runServerCommand({"restore", halted, "--state", into});
        ASSERT_EQ(fresh.status, 0) << into << fresh.err;
        EXPECT_EQ(exported(into), (std::vector<std::string>{"b", "a"})) << into;
        EXPECT_NE(fresh.out.find("Windows：" +
                                 cli_text::offerHalted("1.07", cli_text::othersGet("1.06"))),
                  std::string::npos)
            << fresh.out;
        EXPECT_EQ(fresh.out.find("被替换"), std::string::npos) << fresh.out;
    }
    const CommandResult notState = runServerCommand({"restore", halted, "--state", work.path()});
    EXPECT_EQ(notState.status, 2) << notState.out;
    EXPECT_NE(notState.err.find("没有数据库"), std::string::npos) << notState.err;

    ServerProcess server(dir);
    EXPECT_TRUE(dailyBackupMade(dir, 30, "恢复 从备份 " + backup));
    EXPECT_EQ(statusOf(adminGet(dir, "/comments" + signInBefore)), 401)
        << "a sign-in address waiting in the backup opens a session after the restore";
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=d"))), 200);
    const CommandResult out = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(out.out.starts_with("{\"id\":4,")) << "number 3 was handed out again: " << out.out;
}

// restore brings back the data of a backup and nothing else of the file: no
// trigger, view, table or index of its own survives, and a known name that
// is not a table is refused. A FIFO is refused at once, by restore and by
// the commands that read a backup in place, which read it as it is.
TEST(ServerBackup, RestoreBringsBackOnlyTheData) {
    const TempDir state, work;
    const std::string dir = state.path(), db = dir + "/comments.sqlite";
    const std::string backup = work.path() + "/b.sqlite";
    makeState(dir);
    const std::string ownSchema = schemaOf(db);
    ASSERT_TRUE(execIn(db, "INSERT INTO comments (received, text, raw, source) VALUES "
                           "(1700000000, '留下', x'', 'web')"));
    ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
    const std::string hostile = work.path() + "/hostile.sqlite";
    const struct {
        const char* what;
        std::string sql; // run on a copy of the backup
        int status;
        std::string says; // in what restore prints
    } cases[] = {
        {"a trigger keeps a planted session",
         "INSERT INTO admin_sessions VALUES ('planted', 9000000000000, 1); CREATE TRIGGER keep "
         "BEFORE DELETE ON admin_sessions BEGIN SELECT RAISE(IGNORE); END",
         0, "trigger keep"},
        {"a trigger publishes at the first comment",
         "CREATE TRIGGER publish AFTER INSERT ON comments BEGIN INSERT OR REPLACE INTO release "
         "(platform, version, address, date, notes) VALUES ('windows', '9.99', "
         "'http://evil.example/setup.exe', '', ''); END",
         0, "trigger publish"},
        {"a view in place of a table",
         "DROP TABLE field_salts; CREATE VIEW field_salts AS SELECT 1 AS day, x'00' AS salt", 2,
         cli_text::backupRefused(cli_text::notATable(hostile, "field_salts", "view"))},
        {"a table of its own", "CREATE TABLE extra (x); INSERT INTO extra VALUES (1)", 0,
         "table extra"},
        {"an index of its own", "CREATE INDEX extra ON comments (text)", 0, "index extra"},
    };
    for (const auto& c : cases) {
        std::filesystem::copy_file(backup, hostile,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_TRUE(execIn(hostile, c.sql)) << c.what;
        const CommandResult r = runServerCommand({"restore", hostile, "--state", dir});
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.what << ": " << r.out;
        EXPECT_EQ(schemaOf(db), ownSchema) << c.what;
        EXPECT_EQ(countIn(db, "SELECT count(*) FROM admin_sessions"), 0) << c.what;
        ASSERT_TRUE(execIn(db, "INSERT INTO comments (received, text, raw, source) VALUES "
                               "(1700000001, 'next', x'', 'web')"));
        EXPECT_EQ(countIn(db, "SELECT count(*) FROM release"), 0) << c.what;
        ASSERT_TRUE(execIn(db, "DELETE FROM comments WHERE text = 'next'"));
    }

    const CommandResult list = runServerCommand({"comments", "list", "--backup", backup});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("网页  未读\n    留下\n\n共 1 条留言。"), std::string::npos)
        << list.out;
    const CommandResult jsonl = runServerCommand({"comments", "export", "--backup", backup});
    EXPECT_EQ(exportedTexts(jsonl.out), std::vector<std::string>{"留下"}) << jsonl.err;
    for (const auto& e : std::filesystem::directory_iterator(work.path()))
        EXPECT_FALSE(e.path().string().ends_with("-wal") || e.path().string().ends_with("-shm"))
            << e.path();
    EXPECT_EQ(runServerCommand({"comments", "list", "--backup", backup, "--state", dir}).status, 2);

    const std::string fifo = work.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"restore", fifo, "--state", dir}, {"comments", "list", "--backup", fifo}}) {
        const CommandResult r = runServerCommand(args, 10s);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(cli_text::backupNotRegular(
                      args[0] == "restore" ? "restore" : "--backup", fifo)),
                  std::string::npos)
            << r.err;
    }
}

// A backup larger than the room beside the state directory is refused
// before anything is copied there: a sparse file claims gigabytes for free.
TEST(ServerBackup, RestoreRefusesWhatThereIsNoRoomFor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const TempDir small, work;
    if (::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{small.path()};
    const std::string dir = small.path() + "/state";
    makeState(dir);
    const std::string sparse = work.path() + "/sparse.sqlite";
    std::ofstream(sparse) << std::string("SQLite format 3", 16); // with its NUL
    std::filesystem::resize_file(sparse, std::uintmax_t{64} << 20);
    struct statvfs before {};
    ASSERT_EQ(::statvfs(dir.c_str(), &before), 0);
    const CommandResult r = runServerCommand({"restore", sparse, "--state", dir});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("可用"), std::string::npos) << r.err;
    struct statvfs after {};
    ASSERT_EQ(::statvfs(dir.c_str(), &after), 0);
    EXPECT_EQ(after.f_bfree, before.f_bfree) << "something was left in the state directory";
}

// A backup of a database of 50 MB and more finishes while one client posts
// comments as fast as it can, and is a whole database.
TEST(ServerBackup, BackupFinishesUnderLoad) {
    const TempDir state, work;
    seedComments(state.path(), 100000); // 500 bytes each: about 60 MB
    ASSERT_GE(std::filesystem::file_size(state.path() + "/comments.sqlite"), 50u << 20);
    ServerProcess server(state.path(), {"--comments-per-hour", "0"});
    std::atomic<bool> stop{false};
    std::atomic<int> posted{0};
    std::thread client([&] {
        for (int i = 0; i < 200000 && !stop; ++i)
            if (statusOf(httpExchange(server.port(),
                                      post(kComment, "CommentText=load " + std::to_string(i)),
                                      5s)) == 200)
                ++posted;
    });
    // The load is on once the first comment is in.
    for (int i = 0; i < 1000 && posted == 0; ++i)
        std::this_thread::sleep_for(5ms);
    const int before = posted;
    const std::string copy = work.path() + "/copy.sqlite";
    // Killed at the limit if it never finishes: its time is the benchmark's.
    const CommandResult r = runServerCommand({"backup", copy, "--state", state.path()}, 120s);
    const int during = posted - before;
    stop = true;
    client.join();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(during, 0) << "no comment arrived during the backup";
    EXPECT_EQ(
        countIn(copy, "SELECT count(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"),
        1);
    EXPECT_GE(countIn(copy), 100000 + before);
}

// backup run by root from a full file system, with a relative FILE named
// like the database, against a state directory of the service's user: it
// fails, and touches nothing but its own temporary file.
TEST(ServerBackup, BackupThatFailsTouchesOnlyItsOwnFile) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const TempDir state, small;
    if (::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{small.path()};
    seedComments(state.path(), 400); // about 300 KiB: more than the tmpfs holds
    giveTo(state.path(), kService);

    const CommandResult r =
        runServerCommand({"backup", "comments.sqlite", "--state", state.path()}, 30s, small.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("backup："), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(small.path())) << "a file was left behind";
    const CommandResult list = runServerCommand({"comments", "list", "--state", state.path()});
    EXPECT_NE(list.out.find("共 400 条留言。"), std::string::npos) << list.err;
}
