// The server's commands as a publisher runs them: what they refuse and say,
// a mistyped or busy state directory, root acting as the directory's owner,
// a database that cannot be used or has a damaged index, files kept for
// their owner alone, deleted comments, and what serve says as it starts.
#include "server/cli/cli_texts.h"
#include "server/comments/comments_texts.h"
#include "server/store/store_texts.h"
#include "server/upkeep/upkeep_texts.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;
namespace cli_text = pelvoran::server::cli_text;
namespace comments_text = pelvoran::server::comments_text;
namespace upkeep_text = pelvoran::server::upkeep_text;

namespace {

/// serve (`args` after the word) as `process`, both streams into `log`;
/// what it printed once the line of the admin pages is out, or after 20 s.
std::string startServe(std::optional<ChildProcess>& process, const std::string& log,
                       std::vector<std::string> args) {
    args.insert(args.begin(), {PELVORAN_SERVER_EXE, "serve"});
    process.emplace(args, log);
    std::string printed;
    for (int i = 0; i < 200 && printed.find('\n', printed.find("管理页面")) == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(100ms);
        printed = fileBytes(log);
    }
    return printed;
}

/// Runs `sql` on the database `file` while the indexes of `table` are hidden
/// from it, and `standIn` (when given) is the table's definition: the rows
/// written meanwhile are missing from those indexes, as after a fault.
void behindIndexes(const std::string& file, const std::string& table, const std::string& standIn,
                   const std::string& sql) {
    const std::string saved =
        linesIn(file, "SELECT 'INSERT INTO sqlite_schema VALUES (' || quote(type) || ', ' || "
                      "quote(name) || ', ' || quote(tbl_name) || ', ' || rootpage || ', ' || "
                      "quote(sql) || ');' FROM sqlite_schema WHERE tbl_name = '" +
                          table + "'");
    ASSERT_TRUE(execIn(file, "PRAGMA writable_schema=ON; DELETE FROM sqlite_schema WHERE type = "
                             "'index' AND tbl_name = '" +
                                 table + "';" +
                                 (standIn.empty() ? ""
                                                  : "UPDATE sqlite_schema SET sql = '" + standIn +
                                                        "' WHERE name = '" + table + "';")));
    ASSERT_TRUE(execIn(file, sql));
    ASSERT_TRUE(execIn(file, "PRAGMA writable_schema=ON; DELETE FROM sqlite_schema WHERE "
                             "tbl_name = '" +
                                 table + "';" + saved));
}

} // namespace

// release set refuses, with status 2 and the option named, what the tool
// would mishandle; the release published before stays.
TEST(ServerCommandLine, ReleaseSetRefusesWhatTheToolWouldMishandle) {
    const std::string lines21 = [] {
        std::string s;
        for (int i = 0; i < 21; ++i)
            s += "line\n";
        return s;
    }();
    const struct {
        const char* option; // named in the refusal
        std::string value;
    } cases[] = {
        {"--version", "1.05"},
        {"--version", "1.0"},
        {"--version", "1,06"},
        {"--version", "1e3"},
        {"--version", "beta"},
        {"--version", " 1.06"},
        {"--version", "１．０６"},
        {"--address", "ftp://example.com/x"},
        {"--address", "http://-x"},
        {"--address", "http://"},
        {"--date", "2026[;]12"},
        {"--date", "a\tb"},
        {"--address", "http://x/\ny"},
        {"--notes", lines21},
        {"--notes", std::string(1001, 'n')},
        {"--notes", "a\x1b[31m"},
        {"--notes", "a\u202Eb"},
        {"--address", "http://pelvoran.example.com@evil.example/x.exe"},
        {"--version", "01.07"},
        {"--version", "1.6"},
        {"--notes", "a\u200Bb"},
    };
    const TempDir state;
    makeState(state.path());
    const std::vector<std::string> good = {
        "release",   "set",  "--state",   state.path(),
        "--version", "1.10", "--address", "https://x.cn/a",
        "--date",    "d",    "--notes",   std::string(1000, 'n')};
    ASSERT_EQ(runServerCommand(good).status, 0);
    for (const auto& c : cases) {
        std::vector<std::string> args = good;
        *(std::find(args.begin(), args.end(), c.option) + 1) = c.value;
        const CommandResult r = runServerCommand(args);
        EXPECT_EQ(r.status, 2) << c.option << " " << c.value;
        EXPECT_TRUE(r.err.starts_with("pelvoran-server: " + std::string(c.option) + "：")) << r.err;
    }
    EXPECT_NE(runServerCommand({"release", "show", "--state", state.path()}).out.find("1.10"),
              std::string::npos);
}

TEST(ServerCommandLine, UsageErrorsAndExports) {
    const TempDir state;
    const std::string dir = state.path();
    makeState(dir);
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"serve", "--state", dir, "--listen", "localhost"}, 2},
        {{"serve", "--state", dir, "--listen", "127.0.0.1:70000"}, 2},
        {{"serve", "--state", dir, "--listen", "127.0.0.1:0", "--listen", "::1:80"}, 2},
        {{"serve", "--state", dir, "--public-prefix", "pelvoran"}, 2},
        {{"serve", "--state", dir, "--public-prefix", "/a/../"}, 2},
        {{"serve", "--state", dir, "--trusted-proxy", "proxy.example"}, 2},
        {{"serve", "--state", dir, "--max-connections", "many"}, 2},
        {{"serve", "--state", dir, "--idle-timeout", "0"}, 2}, // 0 would end every download
        {{"release", "show", "--state", dir, "--version", "1.06"}, 2},
        {{"release", "publish", "--state", dir}, 2},
        {{"release", "set", "--state", dir, "--version", "1.06"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-13-01"}, 2},
        {{"comments", "list", "--state", dir, "--since", "yesterday"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-02-31"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2025-02-29"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-04-31"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2024-02-29"}, 0},
        {{"comments", "export", "--state", dir, "--format", "xml"}, 2},
        {{"comments", "list", "--state", dir, "--state", dir}, 2},
        {{"backup", "--state", dir}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-12-01"}, 0},
        {{"release", "show", "--state", dir}, 0},
        {{"--version", "--state", dir}, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runServerCommand(c.args).status, c.status) << ::testing::PrintToString(c.args);
    // Each command's --help prints its own part of the usage.
    const struct {
        std::vector<std::string> args;
        const char* shown;
        const char* notShown;
    } helps[] = {
        {{"release", "set", "--help"}, "release set [--state DIR]", "release show"},
        {{"release", "show", "--state", dir, "-h"}, "release show|clear|history", "release set"},
        {{"release", "--help"}, "release halt", "key create"},
        {{"notify", "--help"}, "notify add email", "release"},
        {{"comments", "approve", "--help"}, "comments approve ID [--state DIR]", "comments delete"},
        {{"serve", "--help"}, "[--busy-timeout MILLISECONDS]", "restore"},
        {{"--help"}, "pelvoran-server serve", "未知"},
    };
    for (const auto& h : helps) {
        const CommandResult r = runServerCommand(h.args);
        EXPECT_EQ(r.status, 0) << ::testing::PrintToString(h.args) << r.err;
        EXPECT_TRUE(r.out.starts_with(cli_text::kUsageHeading)) << r.out;
        EXPECT_NE(r.out.find(h.shown), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(h.notShown), std::string::npos) << r.out;
    }
    const CommandResult version = runServerCommand({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "pelvoran-server " PELVORAN_CHANGELOG_VERSION "\n");

    {
        ServerProcess server(dir);
        for (const char* body : {"CommentText==SUM(A1)", "CommentText=%2Bcmd, \"quoted\"\r\nline",
                                 "CommentText=plain"})
            ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, body))), 200);
        // serve keeps a daily backup of its own, made as it starts; stopping
        // the server stops one on its way, so it is looked for first.
        EXPECT_TRUE(dailyBackupMade(dir, 20));
    }
    const CommandResult csv =
        runServerCommand({"comments", "export", "--state", dir, "--format", "csv"});
    ASSERT_EQ(csv.status, 0);
    EXPECT_TRUE(csv.out.starts_with("\xEF\xBB\xBFid,received,text,source,flagged,read,held\r\n3,"));
    EXPECT_NE(csv.out.find(",plain,desktop,false,false,\r\n2,"), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find(",\"'+cmd, \"\"quoted\"\"\nline\",desktop,false,false,\r\n1,"),
              std::string::npos)
        << csv.out;
    EXPECT_NE(csv.out.find(",'=SUM(A1),desktop,false,false,\r\n"), std::string::npos) << csv.out;
    const CommandResult jsonl = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(jsonl.out.starts_with("{\"id\":3,\"received\":\"20")) << jsonl.out;
    EXPECT_NE(jsonl.out.find(
                  "Z\",\"text\":\"plain\",\"source\":\"desktop\",\"flagged\":false,\"read\":false,"
                  "\"held\":\"\"}\n"),
              std::string::npos);
    const CommandResult future =
        runServerCommand({"comments", "list", "--state", dir, "--since", "2999-01-01"});
    EXPECT_EQ(future.out, cli_text::kNoComments);

    // backup: a whole database of its own, never over an existing file.
    const std::string copy = dir + "/copy.sqlite";
    ASSERT_EQ(runServerCommand({"backup", copy, "--state", dir}).status, 0);
    const CommandResult again = runServerCommand({"backup", copy, "--state", dir});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("copy.sqlite"), std::string::npos);
    // Nor into a directory, nor through a link, even one that leads nowhere.
    std::filesystem::create_symlink(dir + "/nowhere", dir + "/link");
    for (const std::string& target : {dir, dir + "/", dir + "/link"})
        EXPECT_EQ(runServerCommand({"backup", target, "--state", dir}).status, 2) << target;
    EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));
    const TempDir restored;
    std::filesystem::copy_file(copy, restored.path() + "/comments.sqlite");
    EXPECT_EQ(exported(restored.path()).size(), 3u);
}

// A deleted comment is gone from the file and its WAL while the server runs,
// overflow pages too, not only hidden; its number is never handed out again.
TEST(ServerModeration, DeletedCommentsLeaveNoByteBehind) {
    const TempDir state;
    const std::string dir = state.path();
    makeState(dir);
    ServerProcess server(dir);
    std::string longText;
    while (longText.size() < 9000)
        longText += "Xq7Zk-long-";
    for (const std::string& body :
         {std::string("CommentText=Xq7Zk-short"), "CommentText=" + longText,
          std::string("CommentText=stays-Pw3")})
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, body))), 200);
    // The web form's receipt is the post's own page; the thanks page of
    // older links still answers.
    const std::string web =
        httpExchange(server.port(), post("/comment", "text=Xq7Zk-bot&website=x"));
    EXPECT_EQ(statusOf(web), 200);
    EXPECT_NE(bodyOf(web).find("留言已收到"), std::string::npos) << web;
    EXPECT_NE(bodyOf(httpExchange(server.port(), "GET /thanks HTTP/1.1\r\nHost: x\r\n"
                                                 "Connection: close\r\n\r\n"))
                  .find("留言已收到"),
              std::string::npos);
    const CommandResult list = runServerCommand({"comments", "list", "--state", dir});
    EXPECT_NE(list.out.find(comments_text::kFromWebName + std::string("  ") + cli_text::kFlagged +
                            "\n    Xq7Zk-bot"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find(comments_text::kFromDesktopName + std::string("  ") +
                            cli_text::kUnread + "\n    stays-Pw3"),
              std::string::npos)
        << list.out;

    const CommandResult missing =
        runServerCommand({"comments", "delete", "1", "9", "--state", dir});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("#9"), std::string::npos) << missing.err;
    EXPECT_EQ(exported(dir).size(), 4u) << "a refused delete took something";
    // Each deleted comment is shown, its first line cut short: a mistyped
    // number is seen at once.
    const std::string fromDesktop = "  " + std::string(comments_text::kFromDesktopName) + "  ";
    const std::string fromWeb = "  " + std::string(comments_text::kFromWebName) + "  ";
    const struct {
        std::vector<std::string> numbers;
        std::vector<std::string> said; // in this order, times between
    } deletions[] = {
        {{"1", "2", "1"},
         {cli_text::deletedComments(2) + "\n  #1  ", fromDesktop + "Xq7Zk-short\n  #2  ",
          fromDesktop + longText.substr(0, 60) + "…\n"}},
        {{"4"}, {cli_text::deletedComments(1) + "\n  #4  ", fromWeb + "Xq7Zk-bot\n"}}};
    for (const auto& d : deletions) {
        std::vector<std::string> command = {"comments", "delete", "--state", dir};
        command.insert(command.end(), d.numbers.begin(), d.numbers.end());
        const CommandResult deleted = runServerCommand(command);
        EXPECT_EQ(deleted.status, 0) << deleted.err;
        std::size_t at = 0;
        for (const std::string& part : d.said) {
            at = deleted.out.find(part, at);
            EXPECT_NE(at, std::string::npos) << part << " in " << deleted.out;
        }
        EXPECT_TRUE(deleted.out.ends_with(d.said.back())) << deleted.out;
    }
    const std::string file =
        fileBytes(dir + "/comments.sqlite") + fileBytes(dir + "/comments.sqlite-wal");
    EXPECT_EQ(file.find("Xq7Zk"), std::string::npos);
    EXPECT_NE(file.find("stays-Pw3"), std::string::npos);
    EXPECT_EQ(exported(dir), std::vector<std::string>{"stays-Pw3"});
    const CommandResult csv =
        runServerCommand({"comments", "export", "--state", dir, "--format", "csv"});
    EXPECT_EQ(csv.out.find("Xq7Zk"), std::string::npos);

    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=next"))), 200);
    const CommandResult jsonl = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(jsonl.out.starts_with("{\"id\":5,")) << jsonl.out;
}

// comments approve lets a held comment through as the page's 放行 does,
// while the server runs: an ordinary comment from then on, its notification
// queued once, the audit log naming the command line. A number that is no
// comment, or a comment not held (never, or let through already), is
// refused and changes nothing.
TEST(ServerModeration, ApproveLetsAHeldCommentThroughOnce) {
    namespace cli = pelvoran::server::cli_text;
    const TempDir state, keys;
    const std::string dir = state.path();
    makeState(dir);
    // A recipient nobody answers: its notifications stay in the outbox.
    const std::string secret = keys.path() + "/secret";
    std::ofstream(secret) << "s3cr=t\n";
    ASSERT_EQ(runServerCommand({"notify", "add", "webhook",
                                "http://127.0.0.1:" + std::to_string(freePort()) + "/hook",
                                "--secret-file", secret, "--state", dir})
                  .status,
              0);
    ServerProcess server(dir);
    for (const char* body : {"CommentText=held-Qm4 example.com", "CommentText=plain-Qm4"})
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, body))), 200);
    const std::string database = dir + "/comments.sqlite";
    constexpr char kQueued[] = "SELECT count(*) FROM notify_outbox";
    ASSERT_EQ(countIn(database, kQueued), 1) << "the held comment was queued";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string said; // on stdout when 0, else on stderr
        std::int64_t queued;
    } cases[] = {
        {{"9"}, 2, cli::noSuchCommentToApprove(9), 1},
        {{"2"}, 2, cli::notHeld(2), 1},
        {{"1"}, 0, cli::approvedComment(1) + "\n  #1  ", 2},
        {{"1"}, 2, cli::notHeld(1), 2}, // once let through, no second notification
        {{}, 2, cli::kApproveNeedsNumber, 2},
        {{"1", "2"}, 2, cli::kApproveNeedsNumber, 2},
        {{"#1"}, 2, cli::badCommentNumber("#1"), 2},
        {{"1", "--since", "2026-01-01"}, 2, cli::kApproveOptions, 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"comments", "approve", "--state", dir};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r = runServerCommand(args);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.said), std::string::npos)
            << ::testing::PrintToString(args) << r.out << r.err;
        EXPECT_EQ(countIn(database, kQueued), c.queued) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(countIn(database, "SELECT count(*) FROM comments WHERE held <> ''"), 0);
    const std::string audit = runServerCommand({"audit", "list", "--state", dir}).out;
    const auto line = audit.find(pelvoran::server::store_text::kApprovedHeld);
    ASSERT_NE(line, std::string::npos) << audit;
    const auto start = audit.rfind('\n', line) + 1; // npos + 1: the first line
    const std::string entry = audit.substr(start, audit.find('\n', line) - start);
    EXPECT_NE(entry.find("#1"), std::string::npos) << entry;
    EXPECT_NE(entry.find(pelvoran::server::store_text::kByCommandLine), std::string::npos) << entry;
    EXPECT_EQ(audit.find(pelvoran::server::store_text::kApprovedHeld, line + 1), std::string::npos)
        << "logged once: " << audit;
}

// A state directory that serve never made is refused by every other command
// (status 2, the directory named) and none is created; a second serve on a
// live state directory exits 1 and leaves the first one's address alone.
TEST(ServerCommandLine, MistypedOrBusyStateIsRefused) {
    const TempDir live, work;
    ServerProcess server(live.path());
    const std::string address = [&] {
        std::ifstream in(live.path() + "/admin-address");
        std::string line;
        std::getline(in, line);
        return line;
    }();
    const std::string typo = live.path() + "-sever";
    const std::string empty = work.path() + "/empty";
    std::filesystem::create_directory(empty);
    const std::string file = work.path() + "/file";
    std::ofstream(file) << "x";
    const std::vector<std::string> release = {"--version", "1.06", "--address", "http://x.cn/",
                                              "--date",    "d",    "--notes",   "n"};
    const auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        std::string named; // in the message
    } cases[] = {
        {{"comments", "list", "--state", typo}, 2, typo},
        {with({"release", "set", "--state", typo}, release), 2, typo},
        {{"release", "clear", "--state", typo}, 2, typo},
        {{"admin-url", "--state", typo}, 2, typo},
        {{"comments", "export", "--state", empty}, 2, empty},
        {{"backup", work.path() + "/b.sqlite", "--state", empty}, 2, empty},
        {{"release", "show", "--state", file}, 2, file},
        {{"comments", "list"}, 2, "--state"}, // the default, run where no state is
        {{"serve", "--state", live.path(), "--listen", "127.0.0.1:0", "--admin-listen",
          "127.0.0.1:0"},
         1,
         live.path()},
    };
    for (const auto& c : cases) {
        const CommandResult r = runServerCommand(c.args, 10s, work.path());
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.out << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(typo));
    EXPECT_TRUE(std::filesystem::is_empty(empty));
    EXPECT_FALSE(std::filesystem::exists(work.path() + "/b.sqlite"));
    std::ifstream in(live.path() + "/admin-address");
    std::string now;
    std::getline(in, now);
    EXPECT_EQ(now, address);
    EXPECT_EQ(statusOf(httpExchange(server.port(), updateQuestion())), 200);
}

// A version is refused only when no tool in the field would take it, not
// for being at or below this server's own version; a rollback is allowed
// and said to be one. Whether a server runs on the directory is said too.
TEST(ServerCommandLine, ReleaseRuleAndWhatTheCommandSays) {
    const TempDir state;
    makeState(state.path());
    const struct {
        std::string version;
        int status;
        bool running;
        const char* says; // in the output; for a refusal, in the message
    } cases[] = {
        {"1.04", 2, false, "大于 1.05"},
        {"1.05", 2, false, "大于 1.05"},
        {"1.10", 0, false, "没有服务器在状态目录"},
        {"1.07", 0, true, "回退"},
        {"1.06", 0, true, "运行的服务器一秒内"},
    };
    std::optional<ServerProcess> server;
    for (const auto& c : cases) {
        if (c.running && !server)
            server.emplace(state.path());
        const CommandResult r =
            runServerCommand({"release", "set", "--state", state.path(), "--version", c.version,
                              "--address", "http://x.cn/", "--date", "d", "--notes", "n"});
        EXPECT_EQ(r.status, c.status) << c.version << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.version << r.out << r.err;
    }
    EXPECT_NE(runServerCommand({"release", "show", "--state", state.path()}).out.find("1.06"),
              std::string::npos);
}

// Run by root against a state directory of the service's user, the command
// line acts as that user: no file of the database is left owned by root.
// One that user cannot reach is refused, with the reason.
TEST(ServerCommandLine, RootActsAsTheStateDirectoryOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const TempDir state;
    ASSERT_EQ(::chmod(state.path().c_str(), 0700), 0);
    ASSERT_EQ(::chown(state.path().c_str(), kService, kService), 0);
    const std::string dir = state.path();
    makeState(dir);
    ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version", "1.06", "--address",
                                "http://x.cn/", "--date", "d", "--notes", "n"})
                  .status,
              0);
    {
        // A port only root may bind, taken before serve becomes the owner.
        int low = 0;
        for (int port = 1023; port > 900 && low == 0; --port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                low = port;
            ::close(fd);
        }
        ASSERT_NE(low, 0) << "no free port below 1024";
        ServerProcess server(dir, {"--listen", "127.0.0.1:" + std::to_string(low)});
        EXPECT_EQ(server.port(), low);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
        std::ifstream status("/proc/" + std::to_string(server.pid()) + "/status");
        std::string line;
        while (std::getline(status, line) && !line.starts_with("Uid:")) {
        }
        EXPECT_EQ(line.substr(0, 10), "Uid:\t" + std::to_string(kService)) << line;
        EXPECT_EQ(runServerCommand({"comments", "list", "--state", dir}).status, 0);
    }
    EXPECT_EQ(runServerCommand({"backup", dir + "/../pelvoran-root-backup.sqlite", "--state", dir})
                  .status,
              0);
    const CommandResult restore =
        runServerCommand({"restore", dir + "/../pelvoran-root-backup.sqlite", "--state", dir});
    EXPECT_EQ(restore.status, 0) << restore.err;
    std::filesystem::remove(std::filesystem::path(dir).parent_path() /
                            "pelvoran-root-backup.sqlite");
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kService) << e.path();
        ++files;
    }
    EXPECT_GE(files, 2); // the database and its backups at least

    // Behind a folder only root may enter, the owner cannot reach its
    // directory: serve refuses at once and names both by their real paths.
    const TempDir closed;
    ASSERT_EQ(::chmod(closed.path().c_str(), 0700), 0);
    const std::string behind = closed.path() + "/state";
    ASSERT_EQ(::mkdir(behind.c_str(), 0700), 0);
    ASSERT_EQ(::chown(behind.c_str(), kService, kService), 0);
    const CommandResult refused = runServerCommand(
        {"serve", "--state", behind, "--listen", "127.0.0.1:0", "--admin-listen", "127.0.0.1:0"},
        30s);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find("状态目录 " + behind + " "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("进不了目录 " + closed.path() + "，"), std::string::npos)
        << refused.err;
}

// A database nothing should be served from is refused by serve and backup
// at once, with exit status 1 and a message naming the file or directory by
// its real path; serve never starts on it and backup leaves no file.
TEST(ServerCommandLine, UnusableDatabaseIsRefusedAtOnce) {
    const bool root = ::geteuid() == 0;
    const auto file = [](const std::string& state) { return state + "/comments.sqlite"; };
    // What the message says, of the file and the folder of its backups.
    using Says = std::function<std::string(const std::string& file, const std::string& backups)>;
    const Says damaged = [](const std::string&, const std::string& backups) {
        return cli_text::restoreAndRetry(backups);
    };
    const auto literally = [](const char* text) {
        return [text](const std::string&, const std::string&) { return std::string(text); };
    };
    const struct {
        const char* what;
        std::function<void(const std::string&)> harm;
        bool namesDirectory; // else the database file
        Says says;
    } cases[] = {
        {"200 flipped bytes in the middle",
         [&](const std::string& s) {
             const auto pages = std::filesystem::file_size(file(s)) / 4096;
             overwrite(file(s), static_cast<std::streamoff>(pages / 2 * 4096), 200, true);
         },
         false, damaged},
        {"schema page overwritten",
         [&](const std::string& s) { overwrite(file(s), 100, 4096 - 100, false); }, false, damaged},
        {"not a database", [&](const std::string& s) { overwrite(file(s), 0, 16, false); }, false,
         [](const std::string&, const std::string& backups) {
             return cli_text::checkStateOrRestore(backups);
         }},
        {"from a newer server",
         [&](const std::string& s) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(file(s).c_str(), &db), SQLITE_OK);
             sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         false, literally("更新版本的服务器")},
        // quick_check does not compare indexes with tables, and REINDEX
        // cannot mend a key that is there twice.
        {"a key twice, behind its index",
         [&](const std::string& s) {
             behindIndexes(file(s), "admin_sessions",
                           "CREATE TABLE admin_sessions (key TEXT, expires INTEGER NOT NULL, used "
                           "INTEGER NOT NULL)",
                           "INSERT INTO admin_sessions VALUES ('k', 1, 1), ('k', 2, 2)");
         },
         false, damaged},
        {"emptied to 0 bytes",
         [&](const std::string& s) { std::filesystem::resize_file(file(s), 0); }, false,
         [](const std::string& shown, const std::string& backups) {
             return upkeep_text::emptyDatabaseFile(shown) + cli_text::restoreOrStartAfresh(backups);
         }},
        // Root may write anything: the file is the service user's, who may not.
        {"read-only file",
         [&](const std::string& s) {
             if (root)
                 giveTo(s, kService);
             ::chmod(file(s).c_str(), 0400);
         },
         false,
         [](const std::string& shown, const std::string&) {
             return upkeep_text::readOnlyDatabaseFile(shown) + cli_text::kLetServerWrite;
         }},
        {"read-only directory",
         [&](const std::string& s) {
             if (root)
                 giveTo(s, kService);
             ::chmod(s.c_str(), 0500);
         },
         true, literally("不可写")},
    };
    for (const auto& c : cases) {
        const TempDir state;
        seedComments(state.path(), 100);
        c.harm(state.path());
        const std::string named = c.namesDirectory ? state.path() + " " : file(state.path());
        const CommandResult serve =
            runServerCommand({"serve", "--state", state.path(), "--listen", "127.0.0.1:0",
                              "--admin-listen", "127.0.0.1:0"},
                             10s);
        EXPECT_EQ(serve.status, 1) << c.what << ": " << serve.out << serve.err;
        EXPECT_NE(serve.err.find(named), std::string::npos) << c.what << ": " << serve.err;
        EXPECT_NE(serve.err.find(c.says(file(state.path()), state.path() + "/backups")),
                  std::string::npos)
            << c.what << ": " << serve.err;
        EXPECT_EQ(serve.out.find("listening"), std::string::npos) << c.what;
        const TempDir out;
        const CommandResult backup =
            runServerCommand({"backup", out.path() + "/copy.sqlite", "--state", state.path()});
        EXPECT_EQ(backup.status, 1) << c.what << ": " << backup.err;
        EXPECT_TRUE(std::filesystem::is_empty(out.path())) << c.what;
        ::chmod(state.path().c_str(), 0700);
    }
}

// An index that lost a row is found as serve starts and mended, a copy of
// the database set aside first, and said in the log; until then backup,
// which runs the full check first, refuses.
TEST(ServerCommandLine, IndexDamageIsMendedAsServeStarts) {
    const TempDir state, work;
    const std::string dir = state.path();
    seedComments(dir, 3);
    behindIndexes(dir + "/comments.sqlite", "comments", "",
                  "INSERT INTO comments (received, text, raw, source) VALUES (1700000009, "
                  "'hidden', x'', 'web')");
    const CommandResult refused =
        runServerCommand({"backup", work.path() + "/b.sqlite", "--state", dir});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("comments_by_time"), std::string::npos) << refused.err;
    {
        ServerProcess server(dir);
        EXPECT_NE(server.errors().find("已重建全部索引"), std::string::npos) << server.errors();
    }
    const CommandResult list = runServerCommand({"comments", "list", "--state", dir});
    EXPECT_NE(list.out.find(cli_text::commentsCount(4)), std::string::npos) << list.out;
    int aside = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/backups"))
        if (e.path().filename().string().starts_with("index-damaged-")) {
            ++aside;
            // The database as it was found: all four rows, three in the index.
            EXPECT_EQ(countIn(e.path(), "SELECT count(*) FROM comments NOT INDEXED"), 4);
        }
    EXPECT_EQ(aside, 1);
    EXPECT_EQ(runServerCommand({"backup", work.path() + "/b.sqlite", "--state", dir}).status, 0);
}

// Whoever starts it and with whatever mask, the comments, the admin token
// and address and the backups are the owner's alone; so is a database that
// was readable by others before.
TEST(ServerCommandLine, FilesAreTheOwnersAlone) {
    const TempDir parent;
    const std::string state = parent.path() + "/new";
    const mode_t mask = ::umask(022);
    makeState(state);
    ASSERT_EQ(::chmod((state + "/comments.sqlite").c_str(), 0644), 0);
    std::map<std::string, int> modes;
    {
        ServerProcess server(state);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
        // The daily backup follows the start.
        waitUntil([&] { return std::filesystem::exists(state + "/backups"); }, 60s);
        // A backup's .part may go between the listing and its look.
        for (const auto& e : std::filesystem::recursive_directory_iterator(state))
            if (const int mode = modeOf(e.path()); mode != -1)
                modes[e.path().string().substr(state.size())] = mode;
    }
    ::umask(mask);
    EXPECT_EQ(modeOf(state), 0700);
    for (const char* name : {"/comments.sqlite", "/comments.sqlite-wal", "/comments.sqlite-shm",
                             "/metrics-token", "/admin-address", "/backups", "/serve.lock"})
        EXPECT_TRUE(modes.contains(name)) << name << " in " << ::testing::PrintToString(modes);
    for (const auto& [name, mode] : modes)
        EXPECT_EQ(mode, name == "/backups" ? 0700 : 0600) << name;
}

// serve says where the admin pages are after its listening lines, never
// with a sign-in code; that it made the state directory, by its real path (a
// mistyped --state is a new, empty one); run by root on a directory of
// root's, that it stays root and how to change that. admin-url gives a new
// code each time, says when no server runs, and never gives an address a
// server could not note as its.
TEST(ServerCommandLine, ServeSaysWhereItsPagesAreAndWhatItMade) {
    const TempDir parent;
    const std::string state = parent.path() + "/typo";
    const std::vector<std::string> args = {
        "--state", state, "--listen", "127.0.0.1:0", "--admin-listen", "127.0.0.1:0"};
    std::string address, real, printed;
    // The sign-in address admin-url printed, `out`, without its code, which
    // is 64 hex digits.
    const auto withoutCode = [](const std::string& out) {
        const auto code = out.find("?signin=");
        if (code == std::string::npos ||
            out.find_first_not_of("0123456789abcdef", code + 8) != code + 8 + 64)
            ADD_FAILURE() << "no code of 64 hex digits in " << out;
        return out.substr(0, code);
    };
    {
        std::optional<ChildProcess> serve;
        const std::string out = startServe(serve, parent.path() + "/first.log", args);
        real = std::filesystem::canonical(state).string();
        address = fileBytes(state + "/admin-address");
        ASSERT_TRUE(address.ends_with("\n")) << out;
        address.pop_back();
        const auto admin = out.find("管理页面：http://" + address + "/（登录地址：");
        ASSERT_NE(admin, std::string::npos) << out;
        EXPECT_LT(out.rfind("listening on "), admin) << out;
        EXPECT_NE(out.find("pelvoran-server admin-url --state " + real + "）\n", admin),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("signin="), std::string::npos) << out;
        EXPECT_NE(out.find("新建了状态目录 " + real + "（空的"), std::string::npos) << out;
        struct stat st {};
        ASSERT_EQ(::stat(state.c_str(), &st), 0);
        EXPECT_EQ(out.find(cli_text::rootStateWarning(real)) != std::string::npos,
                  ::geteuid() == 0 && st.st_uid == 0)
            << out;
        const CommandResult live = runServerCommand({"admin-url", "--state", state});
        EXPECT_EQ(live.status, 0) << live.err;
        EXPECT_EQ(withoutCode(live.out), "http://" + address + "/");
        printed = live.out;
    }
    const CommandResult stopped = runServerCommand({"admin-url", "--state", state});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find(cli_text::noServerLastAddress(real)), std::string::npos)
        << stopped.err;
    EXPECT_EQ(withoutCode(stopped.out), "http://" + address + "/") << "the last one";
    EXPECT_NE(stopped.out, printed) << "the same code twice";

    // The next serve cannot note its address: the old one is not given as its.
    std::filesystem::create_directory(state + "/admin-address.part");
    std::optional<ChildProcess> again;
    const std::string out = startServe(again, parent.path() + "/again.log", args);
    EXPECT_EQ(out.find("新建了状态目录"), std::string::npos) << out;
    EXPECT_NE(out.find("无法记下管理页面的地址"), std::string::npos) << out;
    const CommandResult r = runServerCommand({"admin-url", "--state", state});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find(address), std::string::npos) << r.out;
}

// What the commands print of stored text cannot act on the terminal.
TEST(ServerCommandLine, StoredTextIsShownAsText) {
    const TempDir state;
    makeState(state.path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((state.path() + "/comments.sqlite").c_str(), &db), SQLITE_OK);
    // As a hand or a restored backup could have left them.
    EXPECT_EQ(sqlite3_exec(db,
                           "INSERT INTO audit_log (time, action, detail, source, address) VALUES "
                           "(1, '登录', 'x', '管理页面', char(27) || ']0;t' || char(7) || "
                           "char(27) || '[2J');"
                           "INSERT INTO release (platform, version, address, date, notes) VALUES "
                           "('windows', '1.06', 'https://x/' || char(27) || '[2J', 'd', "
                           "char(10) || 'a' || char(10) || 'b' || char(27) || '[31m')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const struct {
        std::vector<std::string> command;
        std::string shown;
    } cases[] = {
        {{"audit", "list"}, cli_text::auditFrom("\\x1b]0;t\\x07\\x1b[2J")},
        {{"release", "show"}, cli_text::kAddressLabel + std::string("https://x/\\x1b[2J\n")},
        {{"release", "show"}, cli_text::kNotesLabel + std::string("\na\nb\\x1b[31m\n")},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.command;
        args.insert(args.end(), {"--state", state.path()});
        const CommandResult r = runServerCommand(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << c.shown << "\n" << r.out;
    }
}
