// The real desktop tool against the real server: its comments arrive, the
// release it is offered, and a release published again.
#include "platform/hex.h"
#include "server/cli/cli_texts.h"
#include "tests/support/driver_process.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>

using namespace pelvoran::test;
using namespace std::chrono_literals;
namespace cli_text = pelvoran::server::cli_text;

namespace {

/// The cells of a line of a command's table: columns are two blanks apart
/// at least.
std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t gap = line.find("  ", at);
        cells.push_back(line.substr(at, gap - at));
        if (gap == std::string::npos)
            break;
        at = line.find_first_not_of(' ', gap);
    }
    return cells;
}

/// The rows of a command's table, without its heads and closing line, as
/// the columns `picked` of each.
std::vector<std::vector<std::string>> tableRows(const std::string& out,
                                                const std::vector<std::size_t>& picked) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line); // the heads
    while (std::getline(lines, line)) {
        const auto cells = cellsOf(line);
        if (cells.size() < 2)
            continue; // the closing line
        std::vector<std::string> row;
        for (const std::size_t i : picked)
            row.push_back(i < cells.size() ? cells[i] : "");
        rows.push_back(row);
    }
    return rows;
}

} // namespace

// The real Linux tool against the real server: comments typed in the
// comment window arrive exactly, and the Linux release, not the Windows one,
// reaches the offer with exactly its fields.
TEST(ToolAndServer, CommentsArriveAndTheReleaseIsOffered) {
    const TempDir state;
    makeState(state.path());
    ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.07",
                                "--address", "http://127.0.0.1/Pelvoran.exe", "--date", "d",
                                "--notes", "Windows"})
                  .status,
              0);
    ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                                "--address", "http://127.0.0.1/新版.exe", "--date", "2026年12月1日",
                                "--notes", "修正：50% 的问题 & 其他", "--platform", "linux"})
                  .status,
              0);
    ServerProcess server(state.path());
    const std::vector<std::string> comments = {"镜头很好", "a&b=c", "50% off+1", "表情😀한",
                                               "  两行\n第二行  "};
    std::string joined;
    for (const auto& c : comments)
        joined += (joined.empty() ? "" : "\x1E") + c;
    ::setenv("PELVORAN_DRIVER_COMMENTS", joined.c_str(), 1);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_COMMENTS");
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_TRUE(
        run.out.starts_with("box 有更新版本: 最新版本: 1.06\\n发布日期: 2026年12月1日\\n"
                            "更新说明: 修正：50% 的问题 & 其他\\n点击确定下载升级程序。\\n\n"))
        << run.out;
    auto texts = exported(state.path());
    std::reverse(texts.begin(), texts.end());
    EXPECT_EQ(texts, comments);
}

// Publish, publish for Linux, then 重新发布 the first from the Linux
// release page: the real Linux tool's update check offers the first again,
// and the audit log and the release history list all three.
TEST(ToolAndServer, RepublishedReleaseIsOfferedAgainAndKept) {
    const TempDir state;
    const std::string dir = state.path();
    ServerProcess server(dir);
    for (const char* name : {"first", "second"})
        ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version",
                                    name == std::string("first") ? "1.06" : "1.07", "--address",
                                    "http://127.0.0.1/" + std::string(name) + ".exe", "--date",
                                    "2026年12月", "--notes", "说明", "--platform", "linux"})
                      .status,
                  0);
    const std::string cookie = "Cookie: " + login(dir) + "\r\n";
    const std::string page = bodyOf(adminGet(dir, "/release?platform=linux", cookie));
    const std::string csrf = csrfOf(page);
    ASSERT_FALSE(csrf.empty()) << page;
    ASSERT_NE(page.find("name=\"id\" value=\"1\""), std::string::npos) << page;
    const std::string answer =
        httpExchange(adminPort(dir), post("/release/republish", "csrf=" + csrf + "&id=1", cookie));
    ASSERT_EQ(statusOf(answer), 303) << answer;
    const std::string location = headerValue(answer, "Location");
    EXPECT_EQ(location, "/release?platform=linux&done=republished&id=3");
    for (int reload = 0; reload < 2; ++reload) // publishes nothing again: three rows below
        EXPECT_NE(bodyOf(adminGet(dir, location, cookie)).find("这是回退"), std::string::npos);

    const std::string first = "http://127.0.0.1/first.exe";
    const auto linuxReply = [&] {
        return bodyOf(httpExchange(server.port(), "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: "
                                                  "127.0.0.1\r\nUser-Agent: Pelvoran/1.05 "
                                                  "(Linux)\r\nConnection: close\r\n\r\n"));
    };
    waitUntil([&] { return linuxReply().find(first) != std::string::npos; }, 60s);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "accept-update", opener);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    waitUntil([&] { return !opener.opened().empty(); }, 60s);
    EXPECT_EQ(opener.opened(), first + "\n");

    const CommandResult audit = runServerCommand({"audit", "list", "--state", dir});
    ASSERT_EQ(audit.status, 0) << audit.err;
    auto acts = tableRows(audit.out, {2, 3, 4});
    std::erase_if(acts, [](const auto& row) { return row[1] == "登录"; });
    EXPECT_EQ(acts, (std::vector<std::vector<std::string>>{
                        {"管理页面", "重新发布", "1.06（Linux）（发布记录 #1）"},
                        {"命令行", cli_text::kPublishAction, "1.07（Linux）"},
                        {"命令行", cli_text::kPublishAction, "1.06（Linux）"},
                    }))
        << audit.out;
    const CommandResult history =
        runServerCommand({"release", "history", "--state", dir, "--platform", "linux"});
    ASSERT_EQ(history.status, 0) << history.err;
    EXPECT_EQ(tableRows(history.out, {0, 2, 3, 4, 6}),
              (std::vector<std::vector<std::string>>{
                  {"#3 *", "管理页面", cli_text::kPublished, "1.06", first},
                  {"#2", "命令行", cli_text::kPublished, "1.07", "http://127.0.0.1/second.exe"},
                  {"#1", "命令行", cli_text::kPublished, "1.06", first},
              }))
        << history.out;
}

// The whole conversation, the real tool with the real server: each comment
// sent is numbered in the thanks box; the publisher answers the first on its
// page; at the next start the tool, keyed with the server's answer key, shows
// that answer with its comment and confirms it, the server counts it
// delivered, and the unanswered comment's key stays for a later start.
TEST(ToolAndServer, TheAnswerReachesTheToolAtItsNextStart) {
    const TempDir state;
    const std::string dir = state.path();
    ServerProcess server(dir);
    const CommandResult key = runServerCommand({"key", "answer", "--state", dir});
    ASSERT_EQ(key.status, 0) << key.err;
    const std::string option = "-DPELVORAN_ANSWER_KEY=";
    ASSERT_TRUE(key.out.starts_with(option)) << key.out;
    const std::string publicKey = key.out.substr(option.size(), key.out.find('\n') - option.size());

    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    FakeOpener opener;
    ::setenv("PELVORAN_DRIVER_COMMENTS", "UE0945 是哪年的？\x1E镜头很好，不用回复", 1);
    const DriverRun sent = runDriver(base, "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_COMMENTS");
    EXPECT_EQ(sent.exitStatus, 0) << sent.out;
    EXPECT_NE(sent.out.find("留言编号：1。"), std::string::npos) << sent.out;
    EXPECT_NE(sent.out.find("留言编号：2。"), std::string::npos) << sent.out;

    ASSERT_EQ(
        Publisher(dir).answer(
            1, pelvoran::percentEncode("1990年9月，宇都宫。", [](unsigned char) { return false; })),
        200);

    ::setenv("PELVORAN_DRIVER_ANSWER_KEY", publicKey.c_str(), 1);
    ::setenv("PELVORAN_DRIVER_ANSWERS", "1", 1);
    ::setenv("PELVORAN_DRIVER_KEYS_LEFT", "1", 1);
    const DriverRun shown = runDriver(base, "answers", opener);
    ::unsetenv("PELVORAN_DRIVER_ANSWER_KEY");
    ::unsetenv("PELVORAN_DRIVER_ANSWERS");
    ::unsetenv("PELVORAN_DRIVER_KEYS_LEFT");
    EXPECT_EQ(shown.exitStatus, 0) << shown.out;
    EXPECT_NE(shown.out.find("\nanswer 发布者的回复: UE0945 是哪年的？ | 1990年9月，宇都宫。"),
              std::string::npos)
        << shown.out;
    EXPECT_EQ(countIn(dir + "/comments.sqlite",
                      "SELECT count(*) FROM answers WHERE comment_id = 1 AND delivered <> 0"),
              1);
}
