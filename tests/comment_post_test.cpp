// The comment post: what goes over the wire to a real server on 127.0.0.1,
// and, with a scripted request object, every failure path of PostComment and
// OnReadyV.
#include "net/answer_inbox.h"
#include "net/answer_keys.h"
#include "net/comment_post.h"
#include "net/http_acquisition.h"
#include "platform/ansi.h"
#include "platform/curl/curl_http_request.h"
#include "platform/reply_secret.h"
#include "platform/signature.h"
#include "tests/answer_key_file_cases.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_request.h"
#include "tests/support/loopback_server.h"
#include "tests/support/signed_answers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran;
using namespace pelvoran::test;

namespace {

std::string contentLengths(const std::string& head) {
    std::string found;
    std::size_t at = 0;
    while ((at = head.find("\r\nContent-Length: ", at)) != std::string::npos) {
        at += 18;
        if (!found.empty())
            found += ',';
        found += head.substr(at, head.find("\r\n", at) - at);
    }
    return found;
}

/// What a standard form decoder on the server makes of the body (fields cut
/// at "&" and "=", "+" a blank, %XX a byte), its bytes read as GBK.
std::map<std::string, Text> formFields(const std::string& body) {
    auto unescape = [](std::string_view s) {
        std::string bytes;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '+') {
                bytes += ' ';
            } else if (s[i] == '%' && i + 2 < s.size()) {
                bytes += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            } else {
                bytes += s[i];
            }
        }
        return gbkToText(bytes);
    };
    std::map<std::string, Text> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(body.find('&', start), body.size());
        const std::string_view pair = std::string_view(body).substr(start, end - start);
        const std::size_t eq = pair.find('=');
        fields[std::string(pair.substr(0, eq))] =
            eq == std::string_view::npos ? Text() : unescape(pair.substr(eq + 1));
        if (end == body.size())
            return fields;
        start = end + 1;
    }
}

RecordingShell unusedShell;

Services servicesFor(const HttpComponentRegistry& registry, MessageBoxes& boxes,
                     const std::string& base) {
    return {registry, boxes, unusedShell, [] { return LocalDateTime{}; }, RegionalSettings::zhCN(),
            u16(base)};
}

const Text kThanks = u"感谢";
const Text kFailed = u"发送失败";

} // namespace

TEST(CommentPost, BodyAndContentLengthOnTheWire) {
    struct Case {
        Text comment;
        std::string body;
        std::string length;
        Text decoded; // what a form decoder on the server reads back
    };
    const Case cases[] = {
        {u"镜头很好", "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3", "36", u"镜头很好"},
        {u"a&b=c", "CommentText=a%26b%3Dc", "21", u"a&b=c"},
        {u"50% off+1", "CommentText=50%25 off%2B1", "25", u"50% off+1"},
        {u"%41", "CommentText=%2541", "17", u"%41"},
        {u"  hi  ", "CommentText=  hi  ", "18", u"  hi  "},
        {u"\r\n", "CommentText=\r\n", "14", u"\r\n"},
        {u"EF 50mm f/1.8 UE0945 2010年买的",
         "CommentText=EF 50mm f/1.8 UE0945 2010%C4%EA%C2%F2%B5%C4", "55",
         u"EF 50mm f/1.8 UE0945 2010年买的"},
        {u"€5", "CommentText=%805", "16", u"€5"},
        // GBK lacks these: numeric character references, as a browser sends.
        {u"한국", "CommentText=%26%2354620%3B%26%2344397%3B", "40", u"&#54620;&#44397;"},
        {u"好😀", "CommentText=%BA%C3%26%23128512%3B", "33", u"好&#128512;"},
    };
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    for (const auto& c : cases) {
        RecordingMessageBoxes boxes;
        CommentPost post(servicesFor(registry, boxes, server.base()));
        EXPECT_TRUE(post.Command1_Click(c.comment));
        const auto requests = server.requests();
        ASSERT_FALSE(requests.empty());
        const auto& last = requests.back();
        EXPECT_TRUE(last.head.starts_with("POST /Canon/comment.asp HTTP/1.1\r\n")) << last.head;
        EXPECT_NE(last.head.find("\r\nCONTENT-TYPE: application/x-www-form-urlencoded\r\n"),
                  std::string::npos);
        EXPECT_EQ(last.head.find("Content-Type:"), std::string::npos); // no second type
        EXPECT_EQ(contentLengths(last.head), c.length) << last.body;
        EXPECT_EQ(last.body, c.body);
        EXPECT_EQ(std::to_string(last.body.size()), c.length); // one byte a character
        const auto fields = formFields(last.body);
        EXPECT_EQ(fields.size(), 1u) << last.body;
        EXPECT_EQ(fields.count("CommentText") ? fields.at("CommentText") : u"<none>", c.decoded);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, kThanks);
        EXPECT_EQ(boxes.shown[0].message, u"感谢您的宝贵建议!谢谢!");
        EXPECT_EQ(boxes.shown[0].buttons, MessageButtons::Ok);
    }
    EXPECT_EQ(server.requests().size(), std::size(cases));
}

TEST(CommentPost, BlankCommentIsRefusedAndNothingIsSent) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    for (const Text& blank : {Text(u""), Text(u"   "), Text(u"\u3000 \u3000")}) {
        RecordingMessageBoxes boxes;
        CommentPost post(servicesFor(registry, boxes, server.base()));
        EXPECT_FALSE(post.Command1_Click(blank)); // the window stays open
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, u"提示");
        EXPECT_EQ(boxes.shown[0].message, u"请您填写留言内容。谢谢。");
        EXPECT_EQ(boxes.shown[0].buttons, MessageButtons::Ok);
    }
    EXPECT_TRUE(server.requests().empty());
}

// A comment counts as delivered when the exchange completed with a status
// from 200 to 399; otherwise the failure box, and the window stays open.
TEST(CommentPost, DeliveredOrTheFailureBoxOverTheWire) {
    const auto curl = registryForAllClassNames(curlHttpRequestFactory());
    const HttpComponentRegistry none;
    const std::string down = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    struct Case {
        const char* what;
        const HttpComponentRegistry* registry;
        std::string reply; // empty: nothing listens
        bool delivered;
    };
    const Case cases[] = {
        {"server down", &curl, "", false},
        {"no component", &none, LoopbackServer::reply(200, "ok"), false},
        {"404", &curl, LoopbackServer::reply(404, "not here"), false},
        {"500", &curl, LoopbackServer::reply(500, "oops"), false},
        {"400", &curl, LoopbackServer::reply(400, ""), false},
        {"200", &curl, LoopbackServer::reply(200, "ok"), true},
        {"204", &curl, LoopbackServer::reply(204, ""), true},
        {"399", &curl, LoopbackServer::reply(399, ""), true},
    };
    for (const auto& c : cases) {
        std::unique_ptr<LoopbackServer> server;
        if (!c.reply.empty())
            server = std::make_unique<LoopbackServer>(
                ServerBehaviour{ServerBehaviour::Mode::Reply, c.reply});
        RecordingMessageBoxes boxes;
        CommentPost post(servicesFor(*c.registry, boxes, server ? server->base() : down));
        EXPECT_EQ(post.Command1_Click(u"hello"), c.delivered) << c.what;
        ASSERT_EQ(boxes.shown.size(), 1u) << c.what;
        if (c.delivered) {
            EXPECT_EQ(boxes.shown[0].title, kThanks) << c.what;
        } else {
            EXPECT_EQ(boxes.shown[0].title, kFailed) << c.what;
            EXPECT_EQ(boxes.shown[0].message, u"留言未能发送，请检查网络连接后重试。");
            EXPECT_EQ(boxes.shown[0].buttons, MessageButtons::Ok);
        }
        if (server) {
            EXPECT_EQ(server->requests().size(), c.registry == &none ? 0u : 1u) << c.what;
        }
    }
}

// A server that answers the post with 302 and would then wait for the body
// that a replayed request announces: the post completes at once, delivered,
// and the server sees no second request.
TEST(CommentPost, RedirectAnswerCompletesThePostAtOnce) {
    LoopbackServer server;
    server.setBehaviour({ServerBehaviour::Mode::Reply,
                         LoopbackServer::reply(302, "", "text/plain",
                                               "Location: " + server.base() + "/thanks.asp\r\n")});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    RecordingMessageBoxes boxes;
    CommentPost post(servicesFor(registry, boxes, server.base()));
    // Delivered, not given up at the limit while the server waited.
    EXPECT_TRUE(post.Command1_Click(u"a&b=c"));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, kThanks);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "CommentText=a%26b%3Dc");
}

TEST(CommentPost, EachPostMakesANewRequestObject) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    int created = 0;
    const auto curl = curlHttpRequestFactory();
    const auto registry = registryForAllClassNames([&] {
        ++created;
        return curl();
    });
    RecordingMessageBoxes boxes;
    CommentPost post(servicesFor(registry, boxes, server.base()));
    post.Command1_Click(u"first");
    post.Command1_Click(u"second");
    EXPECT_EQ(created, 2);
    EXPECT_NE(post.HttpClient.get(), nullptr);
    EXPECT_EQ(post.HttpClient->readyState(), 0); // reset after the reply
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].body, "CommentText=second");
}

// What the user gets when the request object's members fail one at a time:
// the thanks only for a completed exchange with a status from 200 to 399,
// otherwise the failure box, and the window keeps the text. The fake's state
// moves on even when a member fails, so each check of the error state is the
// only thing that stops the steps after a failure.
TEST(CommentPost, FailurePathsWithAScriptedRequest) {
    struct Case {
        const char* what;
        FakeScript script;
        bool delivered;
    };
    auto failing = [](const char* member) {
        FakeScript s;
        s.failing = {member};
        return s;
    };
    auto status = [](int code) {
        FakeScript s;
        s.status = code;
        return s;
    };
    FakeScript notCompleted;
    notCompleted.readyStateAfterSend = 3;
    const Case cases[] = {
        {"200", {}, true},
        {"Open fails", failing("Open"), false},
        {"setRequestHeader fails", failing("setRequestHeader"), false},
        {"send fails", failing("send"), false},
        {"not completed", notCompleted, false},
        {"readyState fails", failing("readyState"), false},
        {"Status fails", failing("Status"), false},
        {"abort fails", failing("abort"), true},
        {"199", status(199), false},
        {"302", status(302), true},
        {"399", status(399), true},
        {"400", status(400), false},
        {"500", status(500), false},
    };
    for (const auto& c : cases) {
        CallLog log;
        const auto registry = fakeRegistry(c.script, log);
        RecordingMessageBoxes boxes;
        CommentPost post(servicesFor(registry, boxes, "http://server"));
        EXPECT_EQ(post.Command1_Click(u"hello"), c.delivered) << c.what;
        ASSERT_EQ(boxes.shown.size(), 1u) << c.what;
        EXPECT_EQ(boxes.shown[0].title, c.delivered ? kThanks : kFailed) << c.what;
        EXPECT_EQ(boxes.shown[0].message,
                  c.delivered ? u"感谢您的宝贵建议!谢谢!" : u"留言未能发送，请检查网络连接后重试。")
            << c.what;
    }
}

TEST(CommentPost, NoComponentLeavesTheEarlierObjectUnused) {
    CallLog earlier;
    const HttpComponentRegistry none;
    RecordingMessageBoxes boxes;
    CommentPost post(servicesFor(none, boxes, "http://server"));
    post.HttpClient = std::make_unique<FakeRequest>(FakeScript{}, earlier);
    EXPECT_FALSE(post.Command1_Click(u"hello"));
    EXPECT_TRUE(earlier.empty());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, kFailed);
}

// A completed request is reset for the next post; one still under way is
// left as it is.
TEST(CommentPost, OnReadyVResetsOnlyACompletedRequest) {
    struct Case {
        int state;
        int after;
    };
    const Case cases[] = {{4, 0}, {3, 3}, {1, 1}};
    for (const auto& c : cases) {
        CallLog log;
        FakeScript script;
        script.readyStateAfterSend = c.state;
        RecordingMessageBoxes boxes;
        const HttpComponentRegistry none;
        CommentPost post(servicesFor(none, boxes, "http://server"));
        post.HttpClient = std::make_unique<FakeRequest>(script, log);
        post.HttpClient->send(std::nullopt);
        post.OnReadyV();
        EXPECT_EQ(post.HttpClient->readyState(), c.after) << c.state;
        EXPECT_TRUE(boxes.shown.empty()) << c.state;
    }
}

namespace {

/// A folder of the test's own, removed with everything in it.
struct TempFolder {
    TempFolder() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "pelvoran-keys-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

/// The value of a request header, or "<none>".
std::string headerValue(const std::string& head, const std::string& name) {
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "<none>";
    const std::size_t start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

const LocalDateTime kSent{2026, 12, 9, 10, 0, 0};

} // namespace

// The post carries the hash of the window's secret; a 200 that numbers the
// comment keeps a record and adds a line to the thanks. Anything else (no
// number, a malformed one, a status other than 200, a tool that keeps no
// keys) keeps nothing and thanks as before.
TEST(CommentPost, ReplyKeyOutAndTheNumberBack) {
    struct Case {
        const char* what;
        std::string reply;
        bool keeps;       // the tool has a key file
        std::string kept; // the number kept, empty for none
    };
    const std::string numbered =
        LoopbackServer::reply(200, "ok", "text/plain", "Pelvoran-Comment-Number: 42\r\n");
    const Case cases[] = {
        {"numbered", numbered, true, "42"},
        {"lower-case header",
         LoopbackServer::reply(200, "", "text/plain", "pelvoran-comment-number:7\r\n"), true, "7"},
        {"no number", LoopbackServer::reply(200, "ok"), true, ""},
        {"leading zero",
         LoopbackServer::reply(200, "", "text/plain", "Pelvoran-Comment-Number: 042\r\n"), true,
         ""},
        {"not a number",
         LoopbackServer::reply(200, "", "text/plain", "Pelvoran-Comment-Number: 4x\r\n"), true, ""},
        {"302", LoopbackServer::reply(302, "", "text/plain", "Pelvoran-Comment-Number: 42\r\n"),
         true, ""},
        {"keeps no keys", numbered, false, ""},
    };
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    for (const auto& c : cases) {
        TempFolder folder;
        const auto file = answerKeyFileIn(folder.path + "/pelvoran");
        LoopbackServer server({ServerBehaviour::Mode::Reply, c.reply});
        RecordingMessageBoxes boxes;
        Services services = servicesFor(registry, boxes, server.base());
        services.clock = [] { return kSent; };
        if (c.keeps)
            services.answerKeys = file.get();
        CommentPost post(services);
        EXPECT_TRUE(post.Command1_Click(u"EF 50mm UE0945")) << c.what;
        ASSERT_EQ(server.requests().size(), 1u) << c.what;
        const std::string key = headerValue(server.requests()[0].head, "Pelvoran-Reply-Key");
        EXPECT_EQ(server.requests()[0].body, "CommentText=EF 50mm UE0945") << c.what;
        ASSERT_EQ(boxes.shown.size(), 1u) << c.what;
        EXPECT_EQ(boxes.shown[0].title, kThanks) << c.what;
        const auto records = loadPendingAnswers(*file, kSent);
        if (!c.keeps) {
            EXPECT_EQ(key, "<none>") << c.what;
        } else {
            EXPECT_EQ(key.size(), 43u) << c.what;
        }
        if (c.kept.empty()) {
            EXPECT_EQ(boxes.shown[0].message, u"感谢您的宝贵建议!谢谢!") << c.what;
            EXPECT_TRUE(records.empty()) << c.what;
            continue;
        }
        EXPECT_EQ(boxes.shown[0].message, u"感谢您的宝贵建议!谢谢!\r留言编号：" + u16(c.kept) +
                                              u"。发布者如有回复，会在以后启动本程序时显示。")
            << c.what;
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0].keyHash, key);
        EXPECT_EQ(records[0].number, c.kept);
        EXPECT_EQ(records[0].date, "2026-12-09");
        EXPECT_EQ(records[0].comment, u"EF 50mm UE0945");
        const auto secret = decodeBase64Url(records[0].secret);
        ASSERT_TRUE(secret.has_value());
        EXPECT_EQ(secret->size(), 16u);
        EXPECT_EQ(replyKeyHash(*secret), key);
    }
}

// A send that failed leaves the window open: the next send from it reuses its
// secret, so the server can match a comment that arrived after all. A window
// loaded afresh, and a comment the server numbered, draw a new one.
TEST(CommentPost, AResendFromTheSameWindowReusesItsKey) {
    TempFolder folder;
    const auto file = answerKeyFileIn(folder.path);
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply,
         LoopbackServer::reply(200, "", "text/plain", "Pelvoran-Comment-Number: 9\r\n"),
         0,
         {LoopbackServer::reply(500, ""), LoopbackServer::reply(200, "")}});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    RecordingMessageBoxes boxes;
    Services services = servicesFor(registry, boxes, server.base());
    services.answerKeys = file.get();
    CommentPost post(services);
    EXPECT_FALSE(post.Command1_Click(u"first")); // 500: the window stays
    EXPECT_TRUE(post.Command1_Click(u"first"));  // 200, no number
    post.newComment();                           // the window opened again
    EXPECT_TRUE(post.Command1_Click(u"second")); // numbered
    EXPECT_TRUE(post.Command1_Click(u"third"));  // numbered, without a new window
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    std::vector<std::string> keys;
    for (const auto& r : requests)
        keys.push_back(headerValue(r.head, "Pelvoran-Reply-Key"));
    EXPECT_EQ(keys[0], keys[1]);
    EXPECT_NE(keys[1], keys[2]);
    EXPECT_NE(keys[2], keys[3]);
    const auto records = loadPendingAnswers(*file, LocalDateTime{});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].keyHash, keys[2]);
    EXPECT_EQ(records[1].keyHash, keys[3]);
}

// The file's form: what is read back whole, and every way of being damaged.
TEST(PendingAnswers, FileFormAndDamage) {
    const PendingAnswer a = recordFor('a', "2026-12-09", u"EF 50mm\r\n好");
    const std::string good = writePendingAnswers({a});
    const std::string line = good.substr(good.find('\n') + 1);
    auto withField = [&](int index, const std::string& value) {
        std::string fields[5] = {a.secret, a.keyHash, a.number, a.date,
                                 encodeBase64Url(toUtf8(a.comment))};
        fields[index] = value;
        return "pelvoran-answer-keys 1\n" + fields[0] + '\t' + fields[1] + '\t' + fields[2] + '\t' +
               fields[3] + '\t' + fields[4] + '\n';
    };
    struct Case {
        const char* what;
        std::string file;
        bool damaged;
    };
    const Case cases[] = {
        {"as written", good, false},
        {"no records", "pelvoran-answer-keys 1\n", false},
        {"another version", "pelvoran-answer-keys 2\n" + line, true},
        {"no header", line, true},
        {"empty", "", true},
        {"cut short", good.substr(0, good.size() - 1), true},
        {"a blank line", good + "\n", true},
        {"four fields", "pelvoran-answer-keys 1\n" + line.substr(0, line.rfind('\t')) + "\n", true},
        {"a secret of 15 bytes", withField(0, encodeBase64Url(std::string(15, 'a'))), true},
        {"the key of another secret", withField(1, replyKeyHash(std::string(16, 'b'))), true},
        {"number with a leading zero", withField(2, "0197"), true},
        {"number not decimal", withField(2, "19a"), true},
        {"30 February", withField(3, "2026-02-30"), true},
        {"29 February of a leap year", withField(3, "2028-02-29"), false},
        {"date with slashes", withField(3, "2026/12/09"), true},
        {"comment not base64url", withField(4, "a+b="), true},
        {"comment not UTF-8", withField(4, encodeBase64Url("\xff\xfe")), true},
    };
    for (const Case& c : cases) {
        const auto read = readPendingAnswers(c.file);
        EXPECT_EQ(!read.has_value(), c.damaged) << c.what;
    }
    EXPECT_EQ(readPendingAnswers(good), std::vector{a});
}

// Which records stay: none older than 180 days, at most the 20 newest.
TEST(PendingAnswers, AgeAndCountRules) {
    const LocalDateTime today{2026, 12, 9, 12, 0, 0};
    auto many = [](std::size_t n) {
        std::vector<PendingAnswer> r;
        for (std::size_t i = 0; i < n; ++i)
            r.push_back(recordFor(static_cast<char>('A' + i), "2026-12-01"));
        return r;
    };
    struct Case {
        const char* what;
        std::vector<PendingAnswer> records;
        std::vector<PendingAnswer> kept;
    };
    const auto twenty = many(20), twentyOne = many(21);
    const Case cases[] = {
        {"180 days old", {recordFor('a', "2026-06-12")}, {recordFor('a', "2026-06-12")}},
        {"181 days old", {recordFor('a', "2026-06-11")}, {}},
        {"dated after today", {recordFor('a', "2027-01-05")}, {recordFor('a', "2027-01-05")}},
        {"20 kept", twenty, twenty},
        {"the 21st drops the oldest", twentyOne, {twentyOne.begin() + 1, twentyOne.end()}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(keptPendingAnswers(c.records, today), c.kept) << c.what;
}

// The file itself (tests/answer_key_file_cases.h), made readable by the
// user alone.
TEST(PendingAnswers, TheFileOnDisk) {
    TempFolder folder;
    const std::string dir = folder.path + "/data/pelvoran";
    checkAnswerKeyFileOnDisk(dir);
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((dir + "/answer-keys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

namespace {

namespace sa = signed_answers;

/// The record of the signed answer's secret, and one of another secret.
std::vector<PendingAnswer> answeredRecords() {
    return {
        PendingAnswer{sa::kSecret, sa::kKeyHash, sa::kNumber, "2026-12-09", u"UE0945 是哪年的？"},
        recordFor('z', "2026-12-09")};
}

std::string answerLine(const std::string& number, const std::string& keyHash,
                       const std::string& signature, const std::string& text) {
    return number + '\t' + keyHash + '\t' + signature + '\t' + text + '\n';
}

const Text kAnswerText = u"谢谢留言。\n这支镜头是1990年9月在宇都宫出厂的。";

} // namespace

// One POST with the secrets in its body; what of the reply is shown: a keyed
// tool only what its key signed over the record's number and key hash; a
// malformed reply nothing at all (nullopt), which keeps every record.
TEST(AnswerFetch, WhatOfTheReplyIsShown) {
    const std::string good = answerLine(sa::kNumber, sa::kKeyHash, sa::kSignature, sa::kTextBase64);
    const PendingAnswer other = recordFor('z', "");
    struct Case {
        const char* what;
        std::string reply; // a whole HTTP reply
        int unkeyed;       // answers shown; -1: malformed
        int keyed;
    };
    auto ok = [](const std::string& body) { return LoopbackServer::reply(200, body); };
    const Case cases[] = {
        {"signed", ok(good), 1, 1},
        {"no final line feed", ok(good.substr(0, good.size() - 1)), 1, 1},
        {"none", ok(""), 0, 0},
        {"by another key",
         ok(answerLine(sa::kNumber, sa::kKeyHash, sa::kByAnotherKey, sa::kTextBase64)), 1, 0},
        {"unsigned", ok(answerLine(sa::kNumber, sa::kKeyHash, "", sa::kTextBase64)), 1, 0},
        {"another text",
         ok(answerLine(sa::kNumber, sa::kKeyHash, sa::kSignature, encodeBase64Url("买新的吧"))), 1,
         0},
        {"signed for another number",
         ok(answerLine(other.number, other.keyHash, sa::kSignature, sa::kTextBase64)), 1, 0},
        {"three fields",
         ok(sa::kNumber + std::string("\t") + sa::kKeyHash + "\t" + sa::kTextBase64 + "\n"), -1,
         -1},
        {"a number of no record",
         ok(answerLine("43", sa::kKeyHash, sa::kSignature, sa::kTextBase64)), -1, -1},
        {"the key hash of another record",
         ok(answerLine(sa::kNumber, other.keyHash, sa::kSignature, sa::kTextBase64)), -1, -1},
        {"text not base64url", ok(answerLine(sa::kNumber, sa::kKeyHash, sa::kSignature, "a+b")), -1,
         -1},
        {"a good line, then a bad one", ok(good + "x\n"), -1, -1},
        {"the same record twice", ok(good + good), -1, -1},
        {"500", LoopbackServer::reply(500, good), -1, -1},
    };
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    for (const Case& c : cases) {
        for (const bool keyed : {false, true}) {
            LoopbackServer server({ServerBehaviour::Mode::Reply, c.reply});
            RecordingMessageBoxes boxes;
            Services services = servicesFor(registry, boxes, server.base());
            if (keyed)
                services.answerKey = sa::kPublicKey;
            const auto answers = fetchAnswers(services, answeredRecords());
            const int expected = keyed ? c.keyed : c.unkeyed;
            EXPECT_EQ(answers ? static_cast<int>(answers->size()) : -1, expected)
                << c.what << (keyed ? ", keyed" : "");
            ASSERT_EQ(server.requests().size(), 1u);
            const auto request = server.requests()[0];
            EXPECT_TRUE(request.head.starts_with("POST /answers HTTP/1.1\r\n")) << request.head;
            EXPECT_EQ(headerValue(request.head, "Content-Type"), "text/plain; charset=utf-8");
            EXPECT_EQ(request.body,
                      std::string(sa::kSecret) + "\n" + recordFor('z', "").secret + "\n");
            if (expected == 1 && std::string(c.what) == "signed") {
                EXPECT_EQ((*answers)[0].record, answeredRecords()[0]);
                EXPECT_EQ((*answers)[0].text, kAnswerText);
            }
        }
    }
}

// The inbox: nothing sent without pending records; with some, the answers
// come back through the user-interface queue, and a confirm the server had
// drops the record, one it did not have keeps it.
TEST(AnswerFetch, InboxFetchesOffTheThreadAndConfirms) {
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    const LocalDateTime today{2026, 12, 9, 12, 0, 0};
    for (const int seenStatus : {204, 500}) {
        TempFolder folder;
        const auto file = answerKeyFileIn(folder.path);
        LoopbackServer server(
            {ServerBehaviour::Mode::Reply,
             LoopbackServer::reply(seenStatus, ""),
             0,
             {LoopbackServer::reply(
                 200, answerLine(sa::kNumber, sa::kKeyHash, sa::kSignature, sa::kTextBase64))}});
        RecordingMessageBoxes boxes;
        Services services = servicesFor(registry, boxes, server.base());
        services.clock = [today] { return today; };
        services.answerKeys = file.get();
        std::mutex mutex;
        std::vector<std::function<void()>> queued;
        AnswerInbox inbox(services, [&](std::function<void()> run) {
            std::lock_guard lock(mutex);
            queued.push_back(std::move(run));
        });
        std::vector<FetchedAnswer> arrived;
        auto onArrival = [&](std::vector<FetchedAnswer> a) { arrived = std::move(a); };
        EXPECT_FALSE(inbox.start(onArrival)); // no records yet
        EXPECT_TRUE(server.requests().empty());

        for (const PendingAnswer& r : answeredRecords())
            ASSERT_TRUE(addPendingAnswer(*file, r, today));
        ASSERT_TRUE(inbox.start(onArrival));
        for (int i = 0; i < 1000 && inbox.busy(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(inbox.busy());
        EXPECT_TRUE(arrived.empty()); // only through the queue
        ASSERT_EQ(queued.size(), 1u);
        queued[0]();
        ASSERT_EQ(arrived.size(), 1u);
        EXPECT_EQ(arrived[0].text, kAnswerText);

        inbox.confirm(arrived[0]);
        for (int i = 0; i < 1000 && inbox.busy(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(server.requests().size(), 2u);
        EXPECT_TRUE(server.requests()[1].head.starts_with("POST /answers/seen HTTP/1.1\r\n"));
        EXPECT_EQ(server.requests()[1].body, std::string(sa::kSecret) + "\t" +
                                                 encodeBase64Url(sha256(toUtf8(kAnswerText))) +
                                                 "\n");
        const auto left = loadPendingAnswers(*file, today);
        EXPECT_EQ(left.size(), seenStatus == 204 ? 1u : 2u) << seenStatus;
        EXPECT_EQ(left.back(), answeredRecords()[1]);
    }
}
