// The update check against a real server on 127.0.0.1: what the user sees
// and whether the process would end; with a scripted request object, every
// failure path of CheckUpdate and OnReadyV.
#include "net/http_acquisition.h"
#include "net/update_check.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_request.h"
#include "tests/support/loopback_server.h"
#include "tests/support/scoped_locale.h"
#include "tests/support/signed_replies.h"

#include <gtest/gtest.h>

#include <set>

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
                 MessageAnswer answer = MessageAnswer::Cancel, LoopbackServer* server = nullptr,
                 const RegionalSettings& regional = RegionalSettings::zhCN(),
                 bool openerStarts = true, const std::string& updateKey = "") {
    RecordingMessageBoxes boxes;
    boxes.setNextAnswer(answer);
    RecordingShell shell;
    shell.openResult = openerStarts;
    UpdateCheck check({registry, boxes, shell, [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
                       regional, u16(base), updateKey});
    check.CheckUpdate();
    Outcome o{boxes.shown, shell.opened, shell.exits, -1, 0};
    if (check.HttpClient)
        o.readyStateAfter = check.HttpClient->readyState();
    if (server)
        o.requests = server->requests().size();
    EXPECT_EQ(check.exitRequested(), shell.exits == 1);
    return o;
}

Outcome runReply(const std::string& reply, MessageAnswer answer = MessageAnswer::Cancel,
                 bool openerStarts = true, const std::string& updateKey = "") {
    LoopbackServer server({ServerBehaviour::Mode::Reply, reply});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    return runCheck(server.base(), registry, answer, &server, RegionalSettings::zhCN(),
                    openerStarts, updateKey);
}

const Text kCannotOpen = u"无法打开下载地址，请稍后重试。";

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

// OK that starts nothing says so and carries on as after Cancel: the request
// is reset and the main window opens.
TEST(UpdateCheck, OkThatStartsNothingSaysSoAndCarriesOn) {
    struct Case {
        const char* what;
        std::string reply;
        bool openerStarts;
    };
    const Case cases[] = {
        {"no field 1", ok("2"), true},
        {"refused address", ok("1.06[;]file:///etc/passwd[;]d[;]n"), true},
        {"opener fails", ok("1.06[;]http://127.0.0.1/x[;]d[;]n"), false},
    };
    for (const auto& c : cases) {
        const Outcome o = runReply(c.reply, MessageAnswer::Ok, c.openerStarts);
        ASSERT_EQ(o.shown.size(), 2u) << c.what;
        EXPECT_EQ(o.shown[0].title, u"有更新版本");
        EXPECT_EQ(o.shown[1].title, u"提示");
        EXPECT_EQ(o.shown[1].message, kCannotOpen);
        EXPECT_EQ(o.shown[1].buttons, MessageButtons::Ok);
        EXPECT_EQ(o.exits, 0) << c.what;
        EXPECT_EQ(o.readyStateAfter, 0) << c.what; // abort ran, as after Cancel
    }
}

// A box that cannot open, or a launcher that fails, whatever it throws, is a
// step abandoned whole: the check goes on to its end and resets the request.
TEST(UpdateCheck, FailingBoxesAndLauncherAbandonTheirStepOnly) {
    const Text offer = u"有更新版本", notice = u"提示";
    struct Case {
        const char* what;
        std::set<std::size_t> failingBoxes;
        bool launcherThrows;
        std::vector<Text> titles;
    };
    const Case cases[] = {
        {"the offer cannot open: as after Cancel", {0}, false, {}},
        {"the launcher fails: the notice says so", {}, true, {offer, notice}},
        {"and the notice cannot open either", {1}, true, {offer}},
    };
    for (const Case& c : cases) {
        FakeScript script;
        script.responseText = u"1.06[;]http://127.0.0.1/x[;]d[;]n";
        CallLog calls;
        const auto registry = fakeRegistry(script, calls);
        RecordingMessageBoxes boxes;
        boxes.failing = c.failingBoxes;
        boxes.setNextAnswer(MessageAnswer::Ok);
        RecordingShell shell;
        shell.openThrows = c.launcherThrows;
        UpdateCheck check({registry, boxes, shell, [] { return LocalDateTime{}; },
                           RegionalSettings::zhCN(), u"http://server"});
        check.CheckUpdate();
        std::vector<Text> titles;
        for (const auto& b : boxes.shown)
            titles.push_back(b.title);
        EXPECT_EQ(titles, c.titles) << c.what;
        EXPECT_TRUE(shell.opened.empty()) << c.what;
        EXPECT_EQ(shell.exits, 0) << c.what;
        EXPECT_EQ(calls.back(), "abort") << c.what;
    }
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
        // Blanks and characters beyond ASCII are percent-encoded as UTF-8.
        {"http://example.org/Pelvoran 1.06.exe", "http://example.org/Pelvoran%201.06.exe"},
        {"http://example.org/\xE9\x95\x9C\xE5\xA4\xB4.zip",
         "http://example.org/%E9%95%9C%E5%A4%B4.zip"},
        {"http://example.org/%u00E9", "http://example.org/%C3%A9"},
        {"http://example.org/%uD83D%uDE00", "http://example.org/%F0%9F%98%80"},
        {"http://x/%u202Eexe.txt", "http://x/%E2%80%AEexe.txt"}, // a bidi control, made inert
        {"calc.exe", std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"http://x; rm -rf ~", "http://x;%20rm%20-rf%20~"},   // one argument, no shell
        {"http://x/\"a b\".exe", "http://x/%22a%20b%22.exe"}, // a quote never ends the argument
        {"-oProxyCommand=touch /tmp/pwned", std::nullopt},
        {"http://x/a\tb", std::nullopt},
        {"http://x/\x1b[2J", std::nullopt},
        {"javascript:alert(1)", std::nullopt},
        {"http:///no-host", std::nullopt},
        {"http://-oProxy/", std::nullopt},
        {"http://x/a%u0085b", std::nullopt}, // a C1 control
        {"http://x/a%7Fb", std::nullopt},
        {"http://x/%uD83D", std::nullopt}, // half a character
        {" http://example.org/", std::nullopt},
        {"ftp://example.org/x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const Outcome o = runReply(ok("1.06[;]" + c.field + "[;]d[;]n"), MessageAnswer::Ok);
        if (c.started) {
            EXPECT_EQ(o.opened, std::vector<std::string>{*c.started}) << c.field;
            EXPECT_EQ(o.exits, 1) << c.field;
            EXPECT_EQ(o.shown.size(), 1u) << c.field;
        } else {
            EXPECT_TRUE(o.opened.empty()) << c.field;
            EXPECT_EQ(o.exits, 0) << c.field;
            ASSERT_EQ(o.shown.size(), 2u) << c.field;
            EXPECT_EQ(o.shown[1].message, kCannotOpen) << c.field;
        }
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

// The offer's text without a request object, as the release preview asks.
TEST(UpdateCheck, OfferFromTheFieldsAlone) {
    struct Case {
        std::vector<Text> fields;
        std::optional<Text> message; // nullopt: no offer
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{u"1.06", u"A", u"2012-12-30"}, // a date and no notes
         u"最新版本: 1.06\r发布日期: 2012-12-30\r点击确定下载升级程序。\r"},
    };
    for (const auto& c : cases) {
        const auto offer = updateOffer(c.fields, RegionalSettings::zhCN());
        ASSERT_EQ(offer.has_value(), c.message.has_value()) << c.fields.size();
        if (!offer)
            continue;
        EXPECT_EQ(offer->message, *c.message);
        EXPECT_EQ(offer->title, u"有更新版本");
        EXPECT_EQ(offer->buttons, MessageButtons::OkCancel);
    }
}

TEST(UpdateCheck, NotesAreCutToTwentyLinesAndAThousandCharacters) {
    auto lines = [](int n, const Text& br) {
        Text t;
        for (int i = 1; i <= n; ++i) {
            if (i > 1)
                t += br;
            t += u"line " + u16(std::to_string(i));
        }
        return t;
    };
    const Text x999(999, u'x'), x1000(1000, u'x');
    const Text smile = u"\U0001F600";
    struct Case {
        const char* what;
        Text notes;
        Text shown;
    };
    const Case cases[] = {
        {"empty", u"", u""},
        {"short", u"Fixes", u"Fixes"},
        {"20 lines", lines(20, u"\r\n"), lines(20, u"\r\n")},
        {"20 lines and a last break", lines(20, u"\r\n") + u"\r\n", lines(20, u"\r\n") + u"\r\n"},
        {"21 lines, CR LF", lines(21, u"\r\n"), lines(20, u"\r\n") + u"…"},
        {"21 lines, LF", lines(21, u"\n"), lines(20, u"\n") + u"…"},
        {"21 lines, CR", lines(21, u"\r"), lines(20, u"\r") + u"…"},
        {"21 lines, U+2028", lines(21, u"\u2028"), lines(20, u"\u2028") + u"…"},
        {"25 empty lines", Text(25, u'\n'), Text(19, u'\n') + u"…"},
        {"1000 characters", x1000, x1000},
        {"1001 characters", x1000 + u"y", x1000 + u"…"},
        {"a pair across the limit", x999 + smile, x999 + u"…"},
        {"a pair inside the limit", Text(998, u'x') + smile + u"y", Text(998, u'x') + smile + u"…"},
        {"a megabyte on one line", Text(1 << 20, u'z'), Text(1000, u'z') + u"…"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(notesForPrompt(c.notes), c.shown) << c.what;
}

TEST(UpdateCheck, LongNotesOverTheWireAreCutInThePrompt) {
    std::string notes;
    for (int i = 0; i < 5000; ++i)
        notes += "Fix " + std::to_string(i) + "\r\n";
    const Outcome o = runReply(ok("1.06[;]A[;]d[;]" + notes));
    ASSERT_EQ(o.shown.size(), 1u);
    const Text& m = o.shown[0].message;
    EXPECT_LE(m.size(), 1100u);
    EXPECT_NE(m.find(u"Fix 19…\r点击确定下载升级程序。\r"), Text::npos) << toUtf8(m);
    EXPECT_EQ(m.find(u"Fix 20"), Text::npos);
}

// The version field is read with "." in every locale; the prompt shows the
// number, and the date-time in the address, by the user's regional settings.
// The locales are generated for the tests (tests/CMakeLists.txt).
TEST(UpdateCheck, UnderEachLocale) {
    struct Case {
        std::string locale;
        std::string dateOnTheWire; // 2026-12-07 05:02:03
        Text shownVersion;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", "2026/12/7%205:02:03", u"1.06"},
        {"en_US.UTF-8", "12/07/2026%2005:02:03%20AM", u"1.06"},
        {"de_DE.UTF-8", "07.12.2026%2005:02:03", u"1,06"},
        {"ja_JP.UTF-8", "2026%E5%B9%B412%E6%9C%8807%E6%97%A5%2005%E6%99%8202%E5%88%8603%E7%A7%92",
         u"1.06"},
    };
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    for (const auto& c : cases) {
        test::ScopedLocale scoped(c.locale);
        const RegionalSettings regional = RegionalSettings::fromSystem();
        LoopbackServer server({ServerBehaviour::Mode::Reply, ok("1.06[;]A[;]d[;]n")});
        const Outcome o =
            runCheck(server.base(), registry, MessageAnswer::Cancel, &server, regional);
        ASSERT_EQ(server.requests().size(), 1u) << c.locale;
        EXPECT_TRUE(server.requests()[0].head.starts_with(
            "GET /Canon/LensCheck.asp?Action=Check&D=" + c.dateOnTheWire + " HTTP/1.1\r\n"))
            << c.locale << ": " << server.requests()[0].head;
        ASSERT_EQ(o.shown.size(), 1u) << c.locale << ": 1.06 is newer in every locale";
        EXPECT_TRUE(o.shown[0].message.starts_with(u"最新版本: " + c.shownVersion + u"\r"))
            << c.locale;

        // A comma is not the decimal separator on the wire, in any locale.
        LoopbackServer comma({ServerBehaviour::Mode::Reply, ok("1,06[;]A[;]d[;]n")});
        EXPECT_TRUE(
            runCheck(comma.base(), registry, MessageAnswer::Cancel, &comma, regional).shown.empty())
            << c.locale;
    }
}

namespace {

struct ScriptedOutcome {
    std::vector<Text> titles;
    std::vector<std::string> opened;
    int exits = 0;
};

ScriptedOutcome runScripted(
    const FakeScript& script, MessageAnswer answer, bool openerStarts = true,
    std::function<LocalDateTime()> clock = [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; }) {
    ScriptedOutcome o;
    CallLog calls;
    const auto registry = fakeRegistry(script, calls);
    RecordingMessageBoxes boxes;
    boxes.setNextAnswer(answer);
    RecordingShell shell;
    shell.openResult = openerStarts;
    UpdateCheck check(
        {registry, boxes, shell, std::move(clock), RegionalSettings::zhCN(), u"http://server"});
    check.CheckUpdate();
    for (const auto& b : boxes.shown)
        o.titles.push_back(b.title);
    o.opened = shell.opened;
    o.exits = shell.exits;
    EXPECT_EQ(check.exitRequested(), shell.exits == 1);
    return o;
}

} // namespace

// What the user gets when the request object's members fail one at a time,
// with a reply that would offer an update if it were read: a failed step
// never shows a half-read offer, starts nothing and never ends the process.
// The fake's state moves on even when a member fails, so each check of the
// error state is the only thing that stops the steps after it.
TEST(UpdateCheck, FailurePathsWithAScriptedRequest) {
    const Text offer = u"有更新版本", notice = u"提示";
    auto reply = [](const char16_t* body, int status = 200) {
        FakeScript s;
        s.responseText = body;
        s.status = status;
        return s;
    };
    const FakeScript newer = reply(u"1.06[;]http://server/dl[;]d[;]n");
    auto failing = [&](const char* member) {
        FakeScript s = newer;
        s.failing = {member};
        return s;
    };
    FakeScript notCompleted = newer;
    notCompleted.readyStateAfterSend = 3;
    const std::vector<std::string> none, download = {"http://server/dl"};

    struct Case {
        const char* what;
        FakeScript script;
        MessageAnswer answer;
        bool openerStarts;
        std::vector<Text> boxes;
        std::vector<std::string> opened;
        int exits;
    };
    const Case cases[] = {
        {"Open fails", failing("Open"), MessageAnswer::Ok, true, {}, none, 0},
        {"send fails", failing("send"), MessageAnswer::Ok, true, {}, none, 0},
        {"not completed", notCompleted, MessageAnswer::Ok, true, {}, none, 0},
        {"readyState fails", failing("readyState"), MessageAnswer::Ok, true, {}, none, 0},
        {"status 404", reply(u"1.06[;]A", 404), MessageAnswer::Ok, true, {}, none, 0},
        {"Status fails", failing("Status"), MessageAnswer::Ok, true, {}, none, 0},
        {"responseText fails", failing("responseText"), MessageAnswer::Ok, true, {}, none, 0},
        {"not newer", reply(u"1.05[;]A"), MessageAnswer::Ok, true, {}, none, 0},
        {"no field 0", reply(u""), MessageAnswer::Ok, true, {}, none, 0},
        {"Decode fails", reply(u"1.06%zz[;]A"), MessageAnswer::Ok, true, {}, none, 0},
        {"Cancel", newer, MessageAnswer::Cancel, true, {offer}, none, 0},
        {"abort fails", failing("abort"), MessageAnswer::Cancel, true, {offer}, none, 0},
        {"OK starts the opener", newer, MessageAnswer::Ok, true, {offer}, download, 1},
        {"OK, opener fails", newer, MessageAnswer::Ok, false, {offer, notice}, download, 0},
        {"OK, no field 1", reply(u"1.06"), MessageAnswer::Ok, true, {offer, notice}, none, 0},
        {"OK, refused address",
         reply(u"1.06[;]calc.exe"),
         MessageAnswer::Ok,
         true,
         {offer, notice},
         none,
         0},
    };
    for (const auto& c : cases) {
        const ScriptedOutcome o = runScripted(c.script, c.answer, c.openerStarts);
        EXPECT_EQ(o.titles, c.boxes) << c.what;
        EXPECT_EQ(o.opened, c.opened) << c.what;
        EXPECT_EQ(o.exits, c.exits) << c.what;
    }

    // The address cannot be built: the user sees nothing and the tool goes on.
    const ScriptedOutcome noClock =
        runScripted(newer, MessageAnswer::Ok, true,
                    []() -> LocalDateTime { throw StepError(kComponentFailure, "no clock"); });
    EXPECT_TRUE(noClock.titles.empty());
    EXPECT_TRUE(noClock.opened.empty());
    EXPECT_EQ(noClock.exits, 0);
}

TEST(UpdateCheck, NoComponentLeavesTheEarlierObjectUnused) {
    CallLog earlier;
    const HttpComponentRegistry none;
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    UpdateCheck check({none, boxes, shell, [] { return LocalDateTime{}; }, RegionalSettings::zhCN(),
                       u"http://server"});
    check.HttpClient = std::make_unique<FakeRequest>(FakeScript{}, earlier);
    check.CheckUpdate();
    EXPECT_TRUE(earlier.empty());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(UpdateCheck, OnReadyVOffersOnlyFromACompletedRequest) {
    struct Case {
        int state;
        std::vector<Text> titles;
    };
    const Case cases[] = {{0, {}}, {1, {}}, {3, {}}, {4, {u"有更新版本"}}};
    for (const auto& c : cases) {
        CallLog log;
        FakeScript script;
        script.readyStateAfterSend = c.state;
        script.responseText = u"1.06[;]http://server/dl";
        const HttpComponentRegistry none;
        RecordingMessageBoxes boxes;
        RecordingShell shell;
        UpdateCheck check({none, boxes, shell, [] { return LocalDateTime{}; },
                           RegionalSettings::zhCN(), u"http://server"});
        check.HttpClient = std::make_unique<FakeRequest>(script, log);
        check.HttpClient->send(std::nullopt);
        check.OnReadyV();
        std::vector<Text> titles;
        for (const auto& b : boxes.shown)
            titles.push_back(b.title);
        EXPECT_EQ(titles, c.titles) << c.state;
        EXPECT_EQ(shell.exits, 0) << c.state;
    }
}

// The signature rides in field 4: a tool without a key shows the very offer
// it showed before, and one with the key shows the same when it verifies.
TEST(SignedOffers, TheSameOfferWithAndWithoutAKey) {
    using namespace signed_vectors;
    for (const SignedRelease& r :
         {kFixes, kChineseNotes, kPlainA, kEmptyDateAndNotes, kLineBreakInNotes}) {
        const std::string reply = signedReply(r);
        const Outcome unsigned_ = runReply(ok(replyOf(r, {})));
        const Outcome noKey = runReply(ok(reply));
        const Outcome keyed = runReply(ok(reply), MessageAnswer::Cancel, true, kPublicKey);
        ASSERT_EQ(unsigned_.shown.size(), 1u) << reply;
        ASSERT_EQ(noKey.shown.size(), 1u) << reply;
        ASSERT_EQ(keyed.shown.size(), 1u) << reply;
        EXPECT_EQ(noKey.shown[0].message, unsigned_.shown[0].message) << reply;
        EXPECT_EQ(keyed.shown[0].message, unsigned_.shown[0].message) << reply;
    }
    // A field after the signature is a later version's: the offer still verifies.
    const Outcome later = runReply(ok(replyOf(kFixes, {kFixes.signature, "later"})),
                                   MessageAnswer::Cancel, true, kPublicKey);
    EXPECT_EQ(later.shown.size(), 1u);
}

TEST(SignedOffers, AToolWithAKeyOffersNoForgery) {
    for (const Forgery& f : forgeries()) {
        const Outcome o = runReply(ok(f.body), MessageAnswer::Ok, true, signed_vectors::kPublicKey);
        EXPECT_TRUE(o.shown.empty()) << f.what;
        EXPECT_TRUE(o.opened.empty()) << f.what;
        EXPECT_EQ(o.exits, 0) << f.what;
        EXPECT_EQ(o.readyStateAfter, 0) << f.what; // as after any unusable reply
    }
}
