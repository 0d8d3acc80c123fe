// The update check against a real server on 127.0.0.1: what the user sees
// and whether the process would end.
#include "net/http_acquisition.h"
#include "net/update_check.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

using namespace pelvoran;
using namespace pelvoran::test;

namespace {

constexpr char16_t CR = u'\r';

struct Outcome {
    std::vector<RecordingMessageBoxes::Shown> shown;
    std::vector<std::string> opened;
    int exits = 0;
    int readyStateAfter = -1; // 0 once abort ran
    std::size_t requests = 0;
};

Outcome runCheck(const std::string& base, const HttpComponentRegistry& registry,
                 MessageAnswer answer = MessageAnswer::Cancel, LoopbackServer* server = nullptr) {
    RecordingMessageBoxes boxes;
    boxes.setNextAnswer(answer);
    RecordingShell shell;
    UpdateCheck check({registry, boxes, shell, [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
                       RegionalSettings::zhCN(), u16(base)});
    check.CheckUpdate();
    Outcome o{boxes.shown, shell.opened, shell.exits, -1, 0};
    if (check.HttpClient)
        o.readyStateAfter = check.HttpClient->readyState();
    if (server)
        o.requests = server->requests().size();
    EXPECT_EQ(check.exitRequested(), shell.exits == 1);
    return o;
}

Outcome runReply(const std::string& reply, MessageAnswer answer = MessageAnswer::Cancel) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, reply});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    return runCheck(server.base(), registry, answer, &server);
}

std::string ok(const std::string& body) {
    return LoopbackServer::reply(200, body);
}

} // namespace

TEST(UpdateCheck, AsksWithTheLocalDateTime) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, ok("1.05")});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    runCheck(server.base(), registry);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(server.requests()[0].head.starts_with(
        "GET /Canon/LensCheck.asp?Action=Check&D=2026/12/7%205:02:03 HTTP/1.1\r\n"))
        << server.requests()[0].head;
}

TEST(UpdateCheck, RepliesAndWhatTheUserSees) {
    struct Case {
        std::string reply;
        std::optional<Text> message; // nullopt: no prompt
    };
    const Text ver = u"最新版本: ", date = u"发布日期: ", notes = u"更新说明: ",
               click = u"点击确定下载升级程序。";
    const Case cases[] = {
        {ok("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes"),
         ver + u"1.06" + CR + date + u"2012-12-30" + CR + notes + u"Fixes" + CR + click + CR},
        {ok("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]%u4FEE%u6B63"),
         ver + u"1.06" + CR + date + u"2012-12-30" + CR + notes + u"修正" + CR + click + CR},
        {ok("1.06[;]A[;]2012-12-30[;]Notes[;]extra"),
         ver + u"1.06" + CR + date + u"2012-12-30" + CR + notes + u"Notes" + CR + click + CR},
        {ok("1.10[;]A"), ver + u"1.1" + CR + click + CR},
        {ok("2"), ver + u"2" + CR + click + CR},
        {ok("1.06[;]A[;][;]"), ver + u"1.06" + CR + date + CR + notes + CR + click + CR},
        {ok("1.06[;]A[;]d[;]line\r\n"),
         ver + u"1.06" + CR + date + u"d" + CR + notes + u"line\r\n" + CR + click + CR},
        {ok("%31.06[;]A"), ver + u"1.06" + CR + click + CR}, // escaped digits
        {ok("1.05[;]A[;]2012-12-30[;]Fixes"), std::nullopt}, // equal is not newer
        {ok("1.04[;]A"), std::nullopt},
        {ok(""), std::nullopt},
        {ok("beta[;]A[;]2012-12-30[;]Notes"), std::nullopt},
        {ok("1.06%zz[;]A"), std::nullopt}, // Decode fails: an empty reply
        {ok("[;]A"), std::nullopt},
        {LoopbackServer::reply(404, "1.06[;]A[;]d[;]n"), std::nullopt},
        {LoopbackServer::reply(500, "1.06"), std::nullopt},
    };
    for (const auto& c : cases) {
        const Outcome o = runReply(c.reply);
        if (c.message) {
            ASSERT_EQ(o.shown.size(), 1u) << c.reply;
            EXPECT_EQ(o.shown[0].message, *c.message) << c.reply;
            EXPECT_EQ(o.shown[0].title, u"有更新版本");
            EXPECT_EQ(o.shown[0].buttons, MessageButtons::OkCancel);
        } else {
            EXPECT_TRUE(o.shown.empty()) << c.reply;
        }
        EXPECT_EQ(o.exits, 0) << c.reply; // Cancel, or nothing offered
        EXPECT_TRUE(o.opened.empty());
        EXPECT_EQ(o.readyStateAfter, 0) << c.reply; // abort ran
    }
}

TEST(UpdateCheck, OkStartsTheDownloadAndEndsTheProcess) {
    const Outcome o =
        runReply(ok("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes"), MessageAnswer::Ok);
    EXPECT_EQ(o.opened, std::vector<std::string>{"http://127.0.0.1/x"});
    EXPECT_EQ(o.exits, 1);
    EXPECT_EQ(o.readyStateAfter, 4); // nothing runs after the end: no abort
}

TEST(UpdateCheck, OkWithoutAnAddressStartsNothingButStillEnds) {
    const Outcome o = runReply(ok("2"), MessageAnswer::Ok);
    ASSERT_EQ(o.shown.size(), 1u);
    EXPECT_TRUE(o.opened.empty());
    EXPECT_EQ(o.exits, 1);
}

TEST(UpdateCheck, OnlyAPlainWebAddressIsStarted) {
    struct Case {
        std::string field;
        std::optional<std::string> started;
    };
    const Case cases[] = {
        {"http://127.0.0.1/Pelvoran-1.06.exe", "http://127.0.0.1/Pelvoran-1.06.exe"},
        {"HTTPS://example.org/a?b=c&d=%2520#x",
         "HTTPS://example.org/a?b=c&d=%20#x"},                  // the reply is unescaped first
        {"http://example.org/dl\r\n", "http://example.org/dl"}, // the reply's closing line break
        {"calc.exe", std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"http://x; rm -rf ~", std::nullopt},
        {"-oProxyCommand=touch /tmp/pwned", std::nullopt},
        {"http://x/a\tb", std::nullopt},
        {"http://x/\x1b[2J", std::nullopt},
        {"javascript:alert(1)", std::nullopt},
        {"http:///no-host", std::nullopt},
        {"http://-oProxy/", std::nullopt},
        {"http://example.org/\xE9\x95\x9C", std::nullopt}, // beyond ASCII
        {" http://example.org/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const Outcome o = runReply(ok("1.06[;]" + c.field + "[;]d[;]n"), MessageAnswer::Ok);
        EXPECT_EQ(o.exits, 1) << c.field;
        if (c.started)
            EXPECT_EQ(o.opened, std::vector<std::string>{*c.started}) << c.field;
        else
            EXPECT_TRUE(o.opened.empty()) << c.field;
    }
}

TEST(UpdateCheck, NoComponentSendsNothingAndShowsNothing) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, ok("9.99[;]http://127.0.0.1/x")});
    const Outcome o = runCheck(server.base(), HttpComponentRegistry{}, MessageAnswer::Ok, &server);
    EXPECT_EQ(o.requests, 0u);
    EXPECT_TRUE(o.shown.empty());
    EXPECT_EQ(o.exits, 0);
}

TEST(UpdateCheck, ServerDownShowsNothing) {
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    const Outcome o = runCheck("http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort()),
                               registry, MessageAnswer::Ok);
    EXPECT_TRUE(o.shown.empty());
    EXPECT_EQ(o.exits, 0);
}

TEST(UpdateCheck, ReplyFields) {
    EXPECT_TRUE(splitReplyFields(u"").empty());
    EXPECT_EQ(splitReplyFields(u"a"), std::vector<Text>{u"a"});
    EXPECT_EQ(splitReplyFields(u"[;]"), (std::vector<Text>{u"", u""}));
    EXPECT_EQ(splitReplyFields(u"a[;]b[;][;]c"), (std::vector<Text>{u"a", u"b", u"", u"c"}));
    EXPECT_EQ(splitReplyFields(u"a[;;]b[:]c"), std::vector<Text>{u"a[;;]b[:]c"});
}
