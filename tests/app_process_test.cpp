// Starts the real program (the driver around its start-up path) as its own
// process and watches how it starts and ends.
#include "platform/reply_secret.h"
#include "platform/signature.h"
#include "tests/support/agent_line.h"
#include "tests/support/driver_process.h"
#include "tests/support/loopback_server.h"
#include "tests/support/scoped_locale.h"
#include "tests/support/signed_answers.h"
#include "tests/support/signed_replies.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>

using namespace pelvoran::test;

namespace {

std::string reply(const std::string& body) {
    return LoopbackServer::reply(200, body);
}

} // namespace

TEST(AppProcess, EndsWhenTheLastWindowIsClosed) {
    // The main window closes first; the help or comment window keeps the
    // process running until it is closed too.
    LoopbackServer server({ServerBehaviour::Mode::Reply, reply("1.05")});
    FakeOpener opener;
    for (const char* scenario : {"help-last", "comment-last"}) {
        const DriverRun r = runDriver(server.base(), scenario, opener);
        EXPECT_EQ(r.exitStatus, 0) << scenario << ": " << r.out;
        EXPECT_NE(r.out.find("main closed\nstill running, other window open\nended 0\n"),
                  std::string::npos)
            << scenario << ": " << r.out;
    }
}

TEST(AppProcess, AcceptedUpdateStartsTheOpenerOnceAndEndsAtOnce) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")});
    FakeOpener opener;
    const DriverRun r = runDriver(server.base(), "accept-update", opener);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "box 有更新版本\n"); // never shown, no normal end
    // The opener runs detached; give it a moment to write.
    for (int i = 0; i < 50 && opener.opened().empty(); ++i)
        usleep(100 * 1000);
    EXPECT_EQ(opener.opened(), "http://127.0.0.1/x\n");
}

// OK that opens nothing, because the address is refused, no opener can
// start, or the opener finds nothing to open it with, says so and opens the
// main window instead of just ending.
TEST(AppProcess, AcceptedUpdateThatOpensNothingOpensTheMainWindow) {
    struct Case {
        const char* what;
        std::string address;
        bool openerPresent;
        const char* openerThen;
        const char* handedOver;
    };
    const Case cases[] = {
        {"refused address", "file:///etc/passwd", true, "exit 0", ""},
        {"no opener", "http://127.0.0.1/x", false, "", ""},
        {"no method available", "http://127.0.0.1/x", true, "exit 3", "http://127.0.0.1/x\n"},
    };
    for (const auto& c : cases) {
        LoopbackServer server(
            {ServerBehaviour::Mode::Reply, reply("1.06[;]" + c.address + "[;]2012-12-30[;]Fixes")});
        FakeOpener opener(c.openerPresent, c.openerThen);
        const DriverRun r = runDriver(server.base(), "accept-update", opener);
        EXPECT_EQ(r.exitStatus, 0) << c.what;
        EXPECT_TRUE(r.out.starts_with("box 有更新版本\nbox 提示\nshown "))
            << c.what << ": " << r.out;
        EXPECT_NE(r.out.find("ended 0\n"), std::string::npos) << c.what << ": " << r.out;
        // The tool waits for an opener to end before it says anything, so
        // whatever one was handed is written by now.
        EXPECT_EQ(opener.opened(), c.handedOver) << c.what;
    }
}

// Without a desktop, xdg-open runs the browser in the foreground: an opener
// still running after the few seconds the tool waits (here shortened to
// half a second) has opened the address. This one runs until the tool has
// ended (the test then lets it go): a tool that waited for it would never
// end.
TEST(AppProcess, OpenerStillRunningCountsAsOpened) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")});
    FakeOpener opener(true, "exec >/dev/null 2>&1; go=\"${0%/*}/go\"\n"
                            "for _ in $(seq 1200); do [ -e \"$go\" ] && break; sleep 0.1; done\n"
                            "rm -f \"$go\"");
    ::setenv("PELVORAN_DRIVER_OPENER_MS", "500", 1);
    const DriverRun r = runDriver(server.base(), "accept-update", opener, std::chrono::seconds(60));
    ::unsetenv("PELVORAN_DRIVER_OPENER_MS");
    // The opener the tool started takes the file away as it ends.
    const std::string go = opener.dir + "/go";
    std::ofstream{go};
    for (int i = 0; i < 1200 && !opener.opened().empty() && ::access(go.c_str(), F_OK) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::unlink(go.c_str());
    EXPECT_EQ(r.exitStatus, 0) << "waited for the opener to end";
    EXPECT_EQ(r.out, "box 有更新版本\n"); // ended without showing the main window
    EXPECT_NE(opener.opened(), "");
}

TEST(AppProcess, CancelledUpdateOpensTheMainWindow) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")});
    FakeOpener opener;
    const DriverRun r = runDriver(server.base(), "cancel-update", opener);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with("box 有更新版本\nshown ")) << r.out;
    EXPECT_EQ(opener.opened(), "");
}

// With a limit of 0.4 s on the request, the check ends long before the
// product's own 5 s, which a tool that did not keep the limit given would
// wait out (HttpComponent waits it out).
TEST(AppProcess, StartsWithoutAMessageWhateverTheServerDoes) {
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    LoopbackServer broken({ServerBehaviour::Mode::Reply, "HTTP/1.1 garbage\r\n\r\n"});
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    FakeOpener opener;
    ::setenv("PELVORAN_DRIVER_TOTAL_MS", "400", 1);
    for (const std::string& base : {refused, silent.base(), broken.base()}) {
        const DriverRun r = runDriver(base, "start", opener);
        EXPECT_EQ(r.exitStatus, 0) << base;
        EXPECT_TRUE(r.out.starts_with("shown ")) << base << ": " << r.out; // no box first
        EXPECT_LT(r.checkHeldMs(), 5000) << base << ": " << r.out;
    }
    ::unsetenv("PELVORAN_DRIVER_TOTAL_MS");
}

// Built with a key, the tool offers only what the key signed: a forged
// offer is no offer, and the main window opens as usual.
TEST(AppProcess, AForgedOfferOpensTheMainWindowWithoutAPrompt) {
    ::setenv("PELVORAN_DRIVER_UPDATE_KEY", signed_vectors::kPublicKey, 1);
    FakeOpener opener;
    for (const Forgery& f : forgeries()) {
        LoopbackServer server({ServerBehaviour::Mode::Reply, reply(f.body)});
        const DriverRun r = runDriver(server.base(), "accept-update", opener);
        EXPECT_EQ(r.exitStatus, 0) << f.what;
        EXPECT_TRUE(r.out.starts_with("shown ")) << f.what << ": " << r.out; // no box first
    }
    LoopbackServer genuine(
        {ServerBehaviour::Mode::Reply, reply(signedReply(signed_vectors::kFixes))});
    const DriverRun r = runDriver(genuine.base(), "cancel-update", opener);
    ::unsetenv("PELVORAN_DRIVER_UPDATE_KEY");
    EXPECT_TRUE(r.out.starts_with("box 有更新版本\nshown ")) << r.out;
    EXPECT_EQ(opener.opened(), "");
}

// The tool names itself on the update check and on the comment post. Under
// German settings, where its caption reads 1,05 and the check's date
// 07.12.2026, the agent's version keeps its point.
TEST(AppProcess, NamesItselfOnTheCheckAndTheCommentWhateverTheDecimalSeparator) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, reply("1.05")});
    FakeOpener opener;
    const ScopedLocale german("de_DE.UTF-8");
    ::setenv("PELVORAN_DRIVER_COMMENTS", "agent", 1);
    const DriverRun r = runDriver(server.base(), "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_COMMENTS");
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << r.out;
    EXPECT_TRUE(std::regex_search(
        requests[0].head,
        std::regex(R"(^GET /Canon/LensCheck\.asp\?Action=Check&D=\d\d\.\d\d\.\d{4})")))
        << requests[0].head;
    EXPECT_TRUE(requests[1].head.starts_with("POST /Canon/comment.asp ")) << requests[1].head;
    for (auto head : {requests[0].head, requests[1].head})
        EXPECT_EQ(takeAgentLines(head), std::vector{expectedAgentLine("Linux")}) << head;
}

namespace {

namespace sa = signed_answers;

/// Today as the tool dates its records, `back` days ago.
std::string dayAgo(int back) {
    const std::time_t then = std::time(nullptr) - static_cast<std::time_t>(back) * 24 * 3600;
    std::tm local{};
    localtime_r(&then, &local);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    return day;
}

/// A record line for the signed answer's secret, sent `back` days ago.
std::string answeredRecord(int back = 0) {
    return std::string(sa::kSecret) + "\t" + sa::kKeyHash + "\t" + sa::kNumber + "\t" +
           dayAgo(back) + "\t" + pelvoran::encodeBase64Url("UE0945 是哪年的？") + "\n";
}

/// Writes the run's answer keys file.
std::string writeKeys(const FakeOpener& opener, const std::string& contents) {
    const std::string dir = opener.data + "/pelvoran";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/answer-keys";
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kHeader = "pelvoran-answer-keys 1\n";

} // namespace

// Without a pending key the tool sends exactly what it always sent at start:
// the update check and nothing else.
TEST(AppProcess, WithoutPendingKeysStartUpSendsTodaysRequestsOnly) {
    struct Case {
        const char* what;
        std::string file; // empty: none
    };
    const Case cases[] = {
        {"no file", ""},
        {"no records", kHeader},
        {"only a record older than 180 days", kHeader + answeredRecord(200)},
        {"damaged", kHeader + "nonsense\n"},
    };
    for (const Case& c : cases) {
        LoopbackServer server({ServerBehaviour::Mode::Reply, reply("1.05")});
        FakeOpener opener;
        const std::string path = c.file.empty() ? "" : writeKeys(opener, c.file);
        const DriverRun r = runDriver(server.base(), "start", opener);
        EXPECT_EQ(r.exitStatus, 0) << c.what << ": " << r.out;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u) << c.what;
        EXPECT_TRUE(requests[0].head.starts_with("GET /Canon/LensCheck.asp?")) << c.what;
        if (std::string(c.what) == "damaged") {
            EXPECT_EQ(readFile(path + ".damaged"), c.file);
        }
    }
}

// A pending key: after the check, one POST fetches its answer, shown in the
// answer window with the comment; once shown it is confirmed with the hash of
// the text shown, and the key goes. A keyed tool shows the answer its key
// signed.
TEST(AppProcess, ShowsAnAnswerConfirmsItAndDropsTheKey) {
    const std::string line = std::string(sa::kNumber) + "\t" + sa::kKeyHash + "\t" +
                             sa::kSignature + "\t" + sa::kTextBase64 + "\n";
    for (const char* key : {"", sa::kPublicKey}) {
        LoopbackServer server({ServerBehaviour::Mode::Reply,
                               LoopbackServer::reply(204, ""),
                               0,
                               {reply("1.05"), reply(line)}});
        FakeOpener opener;
        const std::string path = writeKeys(opener, kHeader + answeredRecord());
        ::setenv("PELVORAN_DRIVER_ANSWER_KEY", key, 1);
        ::setenv("PELVORAN_DRIVER_ANSWERS", "1", 1);
        ::setenv("PELVORAN_DRIVER_KEYS_LEFT", "0", 1);
        const DriverRun r = runDriver(server.base(), "answers", opener);
        ::unsetenv("PELVORAN_DRIVER_ANSWER_KEY");
        ::unsetenv("PELVORAN_DRIVER_ANSWERS");
        ::unsetenv("PELVORAN_DRIVER_KEYS_LEFT");
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        EXPECT_NE(r.out.find("\nanswer 发布者的回复: UE0945 是哪年的？ | "
                             "谢谢留言。\\n这支镜头是1990年9月在宇都宫出厂的。 (focus on the "
                             "answer)\nkeys left 0\n"),
                  std::string::npos)
            << r.out;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 3u) << r.out;
        EXPECT_TRUE(requests[1].head.starts_with("POST /answers HTTP/1.1\r\n"));
        EXPECT_EQ(requests[1].body, std::string(sa::kSecret) + "\n");
        EXPECT_TRUE(requests[2].head.starts_with("POST /answers/seen HTTP/1.1\r\n"));
        const auto text = pelvoran::decodeBase64Url(sa::kTextBase64);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(requests[2].body, std::string(sa::kSecret) + "\t" +
                                        pelvoran::encodeBase64Url(pelvoran::sha256(*text)) + "\n");
        EXPECT_EQ(readFile(path), kHeader);
    }
}

// Closing the tool while the fetch waits for a server that never answers
// ends it at once (a tool that waited would outlast the run's deadline under
// a 60 s limit), and the key stays.
TEST(AppProcess, ClosingDuringTheFetchEndsAtOnceKeysKept) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, "", 0, {reply("1.05")}});
    FakeOpener opener;
    const std::string keys = kHeader + answeredRecord();
    const std::string path = writeKeys(opener, keys);
    ::setenv("PELVORAN_DRIVER_TOTAL_MS", "60000", 1);
    const DriverRun r = runDriver(server.base(), "start", opener, std::chrono::seconds(30));
    ::unsetenv("PELVORAN_DRIVER_TOTAL_MS");
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(readFile(path), keys);
}
