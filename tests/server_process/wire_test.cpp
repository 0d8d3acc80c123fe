// The server process over the wire: what each kind of tool sends arrives as
// meant, hostile requests are refused, the update check follows the release
// of each platform and its rollout, limits per address and behind a proxy,
// the field counts, the sockets systemd passes, a comment that cannot be
// committed.
#include "platform/signature.h"
#include "server/store/answer_store.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;

/// A sample of the server's /metrics, without labels; -1 when it is not
/// there.
static long long metricSample(const std::string& state, const std::string& name) {
    const std::string text = bodyOf(
        httpExchange(adminPort(state), "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                                       "close\r\nAuthorization: Bearer " +
                                           tokenOf(state, "metrics-token") + "\r\n\r\n"));
    const auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 2);
}

// Over the wire, a body of each kind of tool in the field arrives as meant
// (the whole table of bodies is read in server_parts_test); export order is
// newest first, so compare reversed.
TEST(ServerWire, CommentBodiesOfBothKindsOfToolAreStoredAsMeant) {
    const struct {
        std::string body;
        std::string stored;
    } cases[] = {
        {"CommentText=%BE%B5%CD%B7", "镜头"},
        {"CommentText=a&b=c", "a&b=c"}, // published 1.05
        {"CommentText=%26%23128512%3B", "😀"},
        {"CommentText=a\rb\nc\r\nd%0Ae%0D", "a\nb\nc\nd\ne\n"},
        {"CommentText=\xE9\x95\x9C\xE5\xA4\xB4 ok", "镜头 ok"}, // raw UTF-8
    };
    const TempDir state;
    ServerProcess server(state.path());
    for (const auto& c : cases)
        EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, c.body))), 200) << c.body;
    auto texts = exported(state.path());
    std::reverse(texts.begin(), texts.end());
    ASSERT_EQ(texts.size(), std::size(cases));
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(texts[i], cases[i].stored) << cases[i].body;
}

// A tool's comment with a reply key is numbered; the publisher answers it
// on its page; a fetch names only answers its secrets may read, and the
// replies to unknown, expired, held, unanswered and wrong secrets are the
// same bytes as to none; the answer is signed by the key key answer prints;
// a confirmation marks it delivered only for the text that is still the
// answer, and fetching changes nothing; /metrics counts the fetches
// answered and the answers delivered, and the answers a fetch would still
// bring.
TEST(ServerWire, AnswersReachOnlyTheirSecretsAndAreDeliveredOnce) {
    namespace answers = pelvoran::server;
    const TempDir state;
    ServerProcess server(state.path());
    const std::string database = state.path() + "/comments.sqlite";
    const std::string s1 = "AQEBAQEBAQEBAQEBAQEBAQ", s2 = "AgICAgICAgICAgICAgICAg",
                      s3 = "AwMDAwMDAwMDAwMDAwMDAw", s4 = "BAQEBAQEBAQEBAQEBAQEBA",
                      unknown = "BQUFBQUFBQUFBQUFBQUFBQ", wrong = "AQEBAQEBAQEBAQEBAQEBAg";
    const auto key = [](const std::string& secret) { return *answers::replyKeyOfSecret(secret); };
    const struct {
        std::string body, header, number; // the header sent, the number answered
    } comments[] = {
        {"CommentText=one", key(s1), "1"},
        {"CommentText=same key", key(s1), ""},
        {"CommentText=malformed", key(s1).substr(1), ""},
        {"CommentText=none", "", ""},
        {"CommentText=expired", key(s2), "5"},
        {"CommentText=held example.com", key(s3), "6"},
        {"CommentText=unanswered", key(s4), "7"},
    };
    for (const auto& c : comments) {
        const std::string reply =
            httpExchange(server.port(),
                         post(kComment, c.body,
                              c.header.empty() ? "" : "Pelvoran-Reply-Key: " + c.header + "\r\n"));
        EXPECT_EQ(statusOf(reply), 200) << c.body;
        EXPECT_EQ(headerValue(reply, "Pelvoran-Comment-Number"), c.number) << c.body;
    }
    const Publisher publisher(state.path());
    EXPECT_EQ(publisher.answer(1, "%E7%AD%94%E5%A4%8D"), 200); // 答复
    EXPECT_EQ(publisher.answer(5, "old"), 200);
    ASSERT_TRUE(execIn(database, "UPDATE comments SET received = received - 181 * 86400 "
                                 "WHERE id = 5; INSERT INTO answers (comment_id, text, written) "
                                 "VALUES (6, 'held', 0)"));

    const auto fetch = [&](const std::string& body) {
        std::string reply =
            httpExchange(server.port(),
                         "POST /answers HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                         "text/plain; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        // The date apart, which the next second changes.
        const auto date = reply.find("\r\nDate: ");
        if (date != std::string::npos)
            reply.erase(date, reply.find("\r\n", date + 2) - date);
        return reply;
    };
    const std::string none = fetch(unknown + "\n");
    EXPECT_EQ(statusOf(none), 200) << none;
    EXPECT_EQ(bodyOf(none), "");
    EXPECT_EQ(headerValue(none, "Cache-Control"), "no-store");
    for (const std::string& secret : {s2, s3, s4, wrong, unknown + "\n" + wrong})
        EXPECT_EQ(fetch(secret), none) << secret;
    const std::string found = bodyOf(fetch(unknown + "\n" + s1 + "\n" + s4));
    ASSERT_EQ(std::count(found.begin(), found.end(), '\n'), 1) << found;
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= found.size() - 1;) {
        const auto end = found.find_first_of("\t\n", at);
        fields.push_back(found.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(fields.size(), 4u) << found;
    EXPECT_EQ(fields[0], "1");
    EXPECT_EQ(fields[1], key(s1));
    EXPECT_EQ(pelvoran::decodeBase64Url(fields[3]), "答复");
    const CommandResult answerKey = runServerCommand({"key", "answer", "--state", state.path()});
    ASSERT_EQ(answerKey.status, 0) << answerKey.err;
    const std::string publicKey = answerKey.out.substr(22, answerKey.out.find('\n') - 22);
    EXPECT_TRUE(pelvoran::releaseSignatureValid(
        publicKey, "pelvoran-answer-v1[;]1[;]" + key(s1) + "[;]答复", fields[2]))
        << fields[2];
    EXPECT_FALSE(pelvoran::releaseSignatureValid(
        publicKey, "pelvoran-answer-v1[;]1[;]" + key(s1) + "[;]答", fields[2]));

    const auto seen = [&](const std::string& body) {
        return statusOf(httpExchange(server.port(), post("/answers/seen", body)));
    };
    const auto sample = [&](const std::string& name) { return metricSample(state.path(), name); };
    // Comment 5's answer has expired, comment 6 is held: neither waits.
    EXPECT_EQ(sample("pelvoran_answers_waiting"), 1);
    EXPECT_EQ(sample("pelvoran_answer_fetches_total"), 7);
    constexpr char kDelivered[] = "SELECT count(*) FROM answers WHERE delivered <> 0";
    EXPECT_EQ(countIn(database, kDelivered), 0) << "fetching changed something";
    EXPECT_EQ(publisher.answer(1, "%E6%94%B9"), 200); // edited after it was shown: 改
    EXPECT_EQ(seen(s1 + "\t" + answers::sha256Base64Url("答复") + "\n"), 204);
    EXPECT_EQ(countIn(database, kDelivered), 0) << "another text than the answer's";
    EXPECT_EQ(seen(unknown + "\t" + answers::sha256Base64Url("改") + "\n" + s1 + "\t" +
                   answers::sha256Base64Url("改")),
              204);
    EXPECT_EQ(countIn(database, kDelivered), 1);
    EXPECT_EQ(publisher.answer(1, "later"), 409) << "delivered: neither edited nor withdrawn";
    EXPECT_EQ(seen(s1 + "\t" + answers::sha256Base64Url("改")), 204);
    EXPECT_EQ(sample("pelvoran_answers_delivered_total"), 1) << "counted once";
    EXPECT_EQ(sample("pelvoran_answers_waiting"), 0);

    std::string many;
    for (int i = 0; i < 21; ++i)
        many += unknown + "\n";
    for (const std::string& bad : {many, s1 + "\r\n", s1 + "=", std::string(), std::string("\n"),
                                   s1 + "\n\n" + s1, std::string(3000, 'A'), s1.substr(1)})
        EXPECT_EQ(statusOf(fetch(bad)), 400) << bad.substr(0, 30);
    EXPECT_EQ(seen(s1), 400);
    EXPECT_EQ(sample("pelvoran_answer_fetches_total"), 7) << "a refused fetch was counted";
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// The web form's receipt is the post's own 200 page, kept by no cache, with
// a code; the publisher answers the comment on its page, and the lookup
// page's 查看回复 shows the comment and the answer for that code, typed as a
// person types it, without marking it delivered. Unknown, wrong, held,
// expired and unanswered codes get the same bytes; the code is in no log
// and no file of the server.
TEST(ServerWire, WebCommentsCodeReadsItsAnswerAndNothingElse) {
    namespace answers = pelvoran::server;
    const TempDir state;
    ServerProcess server(state.path());
    const std::string database = state.path() + "/comments.sqlite";
    const auto codeOf = [](const std::string& reply) {
        const std::string mark = "id=\"reply-code-shown\">";
        const auto at = bodyOf(reply).find(mark);
        return at == std::string::npos ? std::string() : bodyOf(reply).substr(at + mark.size(), 19);
    };
    const struct {
        const char* body;
        const char* what;
    } comments[] = {
        {"text=%E9%95%9C%E5%A4%B4+%3Cb%3E1%3C%2Fb%3E%0D%0A%E7%AC%AC%E4%BA%8C%E8%A1%8C",
         "answered"}, // 镜头 <b>1</b>, a second line
        {"text=flagged&website=http%3A%2F%2Fspam.example%2F", "answered, caught by the trap"},
        {"text=held+example.com", "held"},
        {"text=expired", "expired"},
        {"text=unanswered", "unanswered"},
    };
    std::vector<std::string> codes;
    for (const auto& c : comments) {
        const std::string reply = httpExchange(server.port(), post("/comment", c.body));
        EXPECT_EQ(statusOf(reply), 200) << c.what << reply;
        EXPECT_EQ(headerValue(reply, "Cache-Control"), "no-store") << c.what;
        EXPECT_EQ(headerValue(reply, "Location"), "") << c.what;
        EXPECT_NE(bodyOf(reply).find("留言已收到，谢谢！"), std::string::npos) << c.what;
        codes.push_back(codeOf(reply));
        EXPECT_TRUE(answers::readReplyCode(codes.back()).has_value()) << c.what << reply;
    }
    ASSERT_EQ(codes.size(), 5u);
    EXPECT_NE(codes[0], codes[1]);

    const Publisher publisher(state.path());
    EXPECT_EQ(publisher.answer(1, "%E7%AD%94%E5%A4%8D+%3Ci%3E"), 200); // 答复 <i>
    EXPECT_EQ(publisher.answer(2, "trap"), 200);
    EXPECT_EQ(publisher.answer(4, "old"), 200);
    ASSERT_TRUE(execIn(database, "UPDATE comments SET received = received - 181 * 86400 "
                                 "WHERE id = 4; INSERT INTO answers (comment_id, text, written) "
                                 "VALUES (3, 'held', 0)"));

    const auto view = [&](const std::string& typed) {
        std::string reply = httpExchange(server.port(), post("/reply", "code=" + typed));
        const auto date = reply.find("\r\nDate: "); // the next second changes it
        if (date != std::string::npos)
            reply.erase(date, reply.find("\r\n", date + 2) - date);
        return reply;
    };
    // As typed on a phone: lower case, blanks for hyphens, O for 0.
    std::string typed;
    for (const char c : codes[0])
        typed += c == '-' ? '+' : c == '0' ? 'o' : static_cast<char>(std::tolower(c));
    const std::string shown = view(typed);
    EXPECT_EQ(statusOf(shown), 200) << shown;
    EXPECT_EQ(headerValue(shown, "Cache-Control"), "no-store");
    EXPECT_NE(bodyOf(shown).find("镜头 &lt;b&gt;1&lt;/b&gt;\n第二行"), std::string::npos) << shown;
    EXPECT_NE(bodyOf(shown).find("答复 &lt;i&gt;"), std::string::npos) << shown;
    EXPECT_NE(bodyOf(view(codes[1])).find(">trap<"), std::string::npos);

    std::string wrong = codes[0];
    wrong.back() = wrong.back() == 'Z' ? 'Y' : 'Z';
    const std::string none = view("0000-0000-0000-0000");
    EXPECT_EQ(statusOf(none), 200) << none;
    EXPECT_EQ(headerValue(none, "Cache-Control"), "no-store");
    EXPECT_EQ(bodyOf(none).find("第二行"), std::string::npos);
    for (const std::string& code : {wrong, codes[2], codes[3], codes[4]})
        EXPECT_EQ(view(code), none) << code;
    const std::string malformed = view("7K3M-Q9XA-2BFD-8W1U");
    EXPECT_EQ(statusOf(malformed), 400) << malformed;
    EXPECT_NE(bodyOf(malformed).find("回复代码不对"), std::string::npos) << malformed;
    EXPECT_NE(bodyOf(malformed).find("value=\"7K3M-Q9XA-2BFD-8W1U\""), std::string::npos);

    EXPECT_EQ(countIn(database, "SELECT count(*) FROM answers WHERE delivered <> 0"), 0)
        << "viewing marked an answer delivered";
    EXPECT_EQ(metricSample(state.path(), "pelvoran_answers_waiting"), 0)
        << "a web comment's answer waits for no tool";
    EXPECT_EQ(publisher.answer(1, "%E6%94%B9"), 200) << "the publisher may still edit it"; // 改
    EXPECT_NE(bodyOf(view(codes[0])).find(">改<"), std::string::npos);

    const std::string audit = runServerCommand({"audit", "list", "--state", state.path()}).out;
    EXPECT_NE(audit.find("#1"), std::string::npos) << audit;
    EXPECT_EQ(server.stop(SIGTERM), 0);
    std::string files = server.errors() + audit;
    for (const char* file : {"/comments.sqlite", "/comments.sqlite-wal"})
        files += fileBytes(state.path() + file);
    for (const std::string& code : codes) {
        std::string digits = code;
        std::erase(digits, '-');
        for (const std::string& kept : {code, digits, *answers::readReplyCode(code)})
            EXPECT_EQ(files.find(kept), std::string::npos) << code;
        EXPECT_NE(files.find(answers::replyKeyOfCode(*answers::readReplyCode(code))),
                  std::string::npos)
            << "the database keeps the code's hash";
    }
}

// Every refusal has its status, nothing is stored, and the server stays up.
TEST(ServerWire, RefusalsAndHostileRequests) {
    const std::string big(10 * 1024 * 1024, 'a');
    std::string chunked = "POST " + kComment +
                          " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                          "Connection: close\r\n\r\n";
    for (int i = 0; i < 20; ++i)
        chunked += "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    chunked += "0\r\n\r\n";
    std::string headerFlood = "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 5000; ++i)
        headerFlood += "X-" + std::to_string(i) + ": flood\r\n";
    headerFlood += "\r\n";
    const struct {
        const char* what;
        std::string request;
        int status; // 0: closed without an answer
    } cases[] = {
        {"blank", post(kComment, "CommentText=  \xA1\xA1 "), 400}, // GBK ideographic blank
        {"empty", post(kComment, "CommentText="), 400},
        {"no field", post(kComment, "comment=hi"), 400},
        {"field not first", post(kComment, "x=1&CommentText=hi"), 400},
        {"10 MB announced", post(kComment, "CommentText=" + big), 413},
        {"over 1 MiB chunked", chunked, 413},
        {"other path", "GET /admin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
        {"GET comment", "GET /Canon/comment.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         405},
        {"POST update", post("/Canon/LensCheck.asp", "CommentText=x"), 405},
        {"no version", "GET /\r\n\r\n", 400},
        {"header without colon", "GET / HTTP/1.1\r\nHost: x\r\nno colon\r\n\r\n", 400},
        {"bad length",
         "POST " + kComment + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1x\r\n\r\nCommentText=x",
         400},
        {"broken chunk",
         "POST " + kComment + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         400},
        {"bad version", "GET / HTTP/9.9\r\nHost: x\r\n\r\n", 505},
        // The library's copy of the path would end at the NUL.
        {"NUL in the path",
         "GET /Canon/LensCheck.asp%00.txt?Action=Check HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"header flood", headerFlood, 431},
        // No method and target to answer: the library closes without a word.
        {"garbage line", "GARBAGE\r\n\r\n", 0},
    };
    const TempDir state;
    ServerProcess server(state.path());
    for (const auto& c : cases) {
        const std::string reply = httpExchange(server.port(), c.request);
        EXPECT_EQ(statusOf(reply), c.status) << c.what << ": " << reply.substr(0, 200);
        EXPECT_EQ(statusOf(httpExchange(server.port(), updateQuestion())), 200)
            << "after " << c.what;
    }
    EXPECT_TRUE(exported(state.path()).empty());
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// The reply follows the published release within a second, escaped as the
// tool unescapes it; HEAD is answered like GET; D is never read.
TEST(ServerWire, UpdateCheckFollowsThePublishedRelease) {
    const TempDir state;
    ServerProcess server(state.path());
    const std::string head = httpExchange(server.port(), updateQuestion("HEAD"));
    EXPECT_EQ(statusOf(head), 200);
    EXPECT_EQ(bodyOf(head), "");
    EXPECT_EQ(replyTo(server.port()), "");

    const CommandResult set =
        runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                          "--address", "http://example.com/新版 1.exe", "--date", "2026年12月1日",
                          "--notes", "修正 50% 的问题\n第二行"});
    ASSERT_EQ(set.status, 0) << set.err;
    const std::string expected =
        "1.06[;]http://example.com/%u65B0%u7248 1.exe[;]2026%u5E7412%u6708"
        "1%u65E5[;]%u4FEE%u6B63 50%25 %u7684%u95EE%u9898\n%u7B2C%u4E8C%u884C";
    std::string body;
    waitUntil([&] { return (body = replyTo(server.port())) == expected; }, 60s);
    EXPECT_EQ(body, expected);
    const CommandResult show = runServerCommand({"release", "show", "--state", state.path()});
    EXPECT_EQ(show.out,
              "版本：1.06\n下载地址：http://example.com/新版 1.exe\n发布日期：2026年12月1日\n"
              "更新说明：修正 50% 的问题\n第二行\n签名：未签名\n");

    ASSERT_EQ(runServerCommand({"release", "clear", "--state", state.path()}).status, 0);
    waitUntil([&] { return (body = replyTo(server.port())).empty(); }, 60s);
    EXPECT_EQ(body, "");
}

// Behind the trusted proxy, each platform's tool is answered with its own
// release, an agentless (1.05-style) or malformed agent with Windows's; a
// staged Linux release reaches 10%, then 50% of 10,000 of the proxy's
// clients' networks (within 2 points), the same ones on every check and
// connection, raising it keeps those it had, and a halt reaches the
// running server; a rollout of nothing or of no percentage is refused.
TEST(ServerWire, EachPlatformItsReleaseAndARolloutWithAHalt) {
    const TempDir state;
    ServerProcess server(state.path(), {"--trusted-proxy", "127.0.0.1"});
    const auto release = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"release"});
        args.insert(args.end(), {"--state", state.path()});
        return runServerCommand(args);
    };
    const auto check = [&](const std::string& agent, const std::string& forwardedFor) {
        std::string question = updateQuestion();
        question.insert(question.size() - 2,
                        (agent.empty() ? "" : "User-Agent: " + agent + "\r\n") +
                            "X-Forwarded-For: " + forwardedFor + "\r\n");
        return bodyOf(httpExchange(server.port(), question));
    };
    const struct {
        std::vector<std::string> args;
        const char* says;
    } refused[] = {
        {{"halt", "--platform", "linux"}, "--platform linux"},
        {{"rollout", "101"}, "0 到 100 的整数"},
        {{"rollout", "1.5"}, "0 到 100 的整数"},
        {{"set", "--version", "1.07", "--address", "https://x/l", "--date", "d", "--notes", "n",
          "--rollout", "ten"},
         "--rollout"},
        {{"show", "--platform", "mac"}, "--platform"},
    };
    for (const auto& c : refused) {
        const CommandResult r = release(c.args);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    const std::vector<std::string> fields = {
        "--address", "http://127.0.0.1/p", "--date", "d", "--notes", "n"};
    const auto set = [&](const char* version, const char* platform) {
        std::vector<std::string> args = {"set", "--version", version, "--platform", platform};
        args.insert(args.end(), fields.begin(), fields.end());
        const CommandResult r = release(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    set("1.06", "windows");
    set("1.07", "linux");
    const auto body = [](const char* version) {
        return std::string(version) + "[;]http://127.0.0.1/p[;]d[;]n";
    };
    waitUntil([&] { return check("Pelvoran/1.06 (Linux)", "10.0.0.1") == body("1.07"); }, 60s);
    const struct {
        const char* agent;
        const char* offered;
    } agents[] = {
        {"Pelvoran/1.06 (Linux)", "1.07"},
        {"Pelvoran/1.05 (Windows)", "1.06"},
        {"", "1.06"},
        {"Pelvoran/1.06 (linux)", "1.06"},
    };
    for (const auto& a : agents)
        EXPECT_EQ(check(a.agent, "10.0.0.1"), body(a.offered)) << a.agent;

    // The Linux tool's checks from `networks` networks (10.a.b.9, one /24
    // each), one check each on the kept-alive connection `fd`: 'y' for the
    // staged release offered, 'n' for no newer version, '?' for anything else.
    const auto linuxAnswers = [&](int fd, int networks) {
        std::string question = updateQuestion();
        question.replace(question.find("Connection: close\r\n"), 19,
                         "User-Agent: Pelvoran/1.06 (Linux)\r\n");
        std::string answers;
        // Sent 100 at a time, one after the other on the connection, as
        // HTTP/1.1 allows: a round trip each took most of the time.
        for (int from = 0; from < networks; from += 100) {
            std::string batch;
            const int to = std::min(networks, from + 100);
            for (int n = from; n < to; ++n) {
                std::string q = question;
                q.insert(q.size() - 2, "X-Forwarded-For: 192.0.2.1, 10." + std::to_string(n >> 8) +
                                           "." + std::to_string(n & 255) + ".9\r\n");
                batch += q;
            }
            for (const std::string& reply :
                 exchangeAllOn(fd, batch, static_cast<std::size_t>(to - from))) {
                const std::string offered = bodyOf(reply);
                answers += statusOf(reply) != 200    ? '?'
                           : offered == body("1.07") ? 'y'
                           : offered.empty()         ? 'n'
                                                     : '?';
            }
        }
        answers.resize(static_cast<std::size_t>(networks), '?');
        return answers;
    };
    const auto share = [](const std::string& answers) {
        return 100.0 * static_cast<double>(std::count(answers.begin(), answers.end(), 'y')) /
               static_cast<double>(answers.size());
    };
    // A change is seen on the first 200 networks, then all 10,000 are
    // asked on the same connection, so of the same listener thread.
    constexpr int kNetworks = 10000;
    const auto afterChange = [&](int fd, const std::function<bool(const std::string&)>& seen) {
        waitUntil([&] { return seen(linuxAnswers(fd, 200)); }, 60s);
        return linuxAnswers(fd, kNetworks);
    };
    const int fd = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(release({"rollout", "10", "--platform", "linux"}).status, 0);
    const std::string tenth =
        afterChange(fd, [](const std::string& a) { return a.find('n') != std::string::npos; });
    EXPECT_EQ(tenth.find('?'), std::string::npos);
    EXPECT_NEAR(share(tenth), 10.0, 2.0);

    ASSERT_EQ(release({"rollout", "50", "--platform", "linux"}).status, 0);
    const std::string half =
        afterChange(fd, [&](const std::string& a) { return a != tenth.substr(0, a.size()); });
    EXPECT_EQ(half.find('?'), std::string::npos);
    EXPECT_NEAR(share(half), 50.0, 2.0);
    for (std::size_t n = 0; n < tenth.size(); ++n)
        ASSERT_TRUE(tenth[n] != 'y' || half[n] == 'y') << "network " << n << " lost it at 50%";
    // The same answers to a tool's next start, on another connection.
    const int other = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(other, 0);
    EXPECT_EQ(linuxAnswers(other, 1000), half.substr(0, 1000));
    ::close(other);

    ASSERT_EQ(release({"halt", "--platform", "linux"}).status, 0);
    waitUntil([&] { return linuxAnswers(fd, 200).find('y') == std::string::npos; }, 60s);
    EXPECT_EQ(linuxAnswers(fd, 2000), std::string(2000, 'n')) << "not halted";
    ::close(fd);
    EXPECT_EQ(check("", "10.0.0.1"), body("1.06")) << "Windows's release stays";
    const CommandResult audit = runServerCommand({"audit", "list", "--state", state.path()});
    EXPECT_NE(audit.out.find("1.07（Linux）：10% → 50%"), std::string::npos) << audit.out;
    EXPECT_NE(audit.out.find("1.07（Linux）：50% → 0%"), std::string::npos) << audit.out;
}

// Too many comments from one address get 429; behind the trusted proxy the
// address is the one the proxy names, and nobody else can name one.
TEST(ServerWire, RateLimitPerAddressAndTrustedProxy) {
    const TempDir state;
    ServerProcess server(state.path(),
                         {"--comments-per-hour", "2", "--trusted-proxy", "127.0.0.1"});
    auto send = [&](const std::string& forwardedFor, const std::string& from = "127.0.0.1") {
        return statusOf(httpExchange(
            server.port(),
            post(kComment, "CommentText=hi", "X-Forwarded-For: " + forwardedFor + "\r\n"), 10s,
            from));
    };
    EXPECT_EQ(send("10.0.0.1"), 200);
    EXPECT_EQ(send("192.0.2.9, 10.0.0.1"), 200);
    EXPECT_EQ(send("10.0.0.1"), 429);
    EXPECT_EQ(send("10.0.0.2"), 200);
    // From another address the header is ignored: 127.0.0.2 is its own client.
    EXPECT_EQ(send("10.0.0.3", "127.0.0.2"), 200);
    EXPECT_EQ(send("10.0.0.4", "127.0.0.2"), 200);
    EXPECT_EQ(send("10.0.0.5", "127.0.0.2"), 429);
    EXPECT_EQ(exported(state.path()).size(), 5u);
}

// Update checks through the trusted proxy are counted by version, platform
// and distinct client, and the database keeps no address of them, nor their
// networks' bytes.
TEST(ServerWire, FieldCountsKeepNoAddressOfTheChecks) {
    const TempDir state;
    ServerProcess server(state.path(), {"--trusted-proxy", "127.0.0.1"});
    // Linux first: the wait below for the Windows release covers both.
    for (const char* platform : {"linux", "windows"})
        ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                                    "--address", "http://x.cn/a.exe", "--date", "d", "--notes", "n",
                                    "--platform", platform})
                      .status,
                  0);
    const auto check = [&](const std::string& agent, const std::string& forwardedFor) {
        std::string question = updateQuestion();
        question.insert(question.find("Connection:"),
                        (agent.empty() ? "" : "User-Agent: " + agent + "\r\n") +
                            "X-Forwarded-For: " + forwardedFor + "\r\n");
        return bodyOf(httpExchange(server.port(), question));
    };
    std::int64_t waited = 1; // agentless checks until the release is served, and labelled
    const auto deadline = std::chrono::steady_clock::now() + 60s; // a loaded machine
    for (; waited < 600 && std::chrono::steady_clock::now() < deadline &&
           check("", "192.0.2.1").empty();
         ++waited)
        std::this_thread::sleep_for(100ms);
    const struct {
        std::string agent;
        std::string forwardedFor;
    } checks[] = {
        {"Pelvoran/1.06 (Windows)", "198.51.100.23"},
        {"Pelvoran/1.06 (Windows)", "198.51.100.24"}, // the same /24: the same client
        {"Pelvoran/1.06 (Linux)", "2001:db8:abcd:12::7"},
        {"Pelvoran/1.09 (Linux)", "203.0.113.99"},
        {"", "203.0.113.98"},
    };
    for (const auto& c : checks)
        EXPECT_FALSE(check(c.agent, c.forwardedFor).empty()) << c.forwardedFor;
    ASSERT_EQ(server.stop(SIGTERM), 0); // the end writes the counts out
    const std::string db = state.path() + "/comments.sqlite";
    const struct {
        const char* sql;
        std::int64_t n;
    } counted[] = {
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'windows' AND "
         "version = '1.06'",
         2},
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'linux' AND "
         "version = '1.06'",
         1},
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'linux' AND "
         "version = '其他'",
         1},
        {"SELECT sum(n) FROM field_counts WHERE platform = '' AND version = '1.05 或更早'",
         1 + waited},
        // Offers: only the agentless checks that were answered with the
        // release (the last of the wait, the last); the tools on 1.06, and
        // the Linux one on 1.09, are answered with it but offered nothing.
        {"SELECT count(*) FROM field_counts WHERE kind = 'offer' AND platform = 'linux'", 0},
        {"SELECT n FROM field_counts WHERE kind = 'offer' AND platform = 'windows' AND "
         "version = '1.06'",
         2},
        {"SELECT count(*) FROM field_clients", 1},
    };
    for (const auto& c : counted)
        EXPECT_EQ(countIn(db, c.sql), c.n) << c.sql;
    std::string files;
    for (const auto& entry : std::filesystem::directory_iterator(state.path()))
        if (entry.path().filename().string().starts_with("comments.sqlite"))
            files += fileBytes(entry.path().string());
    const std::string needles[] = {
        "198.51.100",
        "203.0.113",
        "192.0.2",
        "2001:db8",
        std::string("\xc6\x33\x64", 3),
        std::string("\xcb\x00\x71", 3),
        std::string("\x20\x01\x0d\xb8\xab\xcd", 6),
    };
    for (const std::string& needle : needles)
        EXPECT_EQ(files.find(needle), std::string::npos) << "an address or network is kept";
}

// One process on both families: the update check on [::1]; an IPv4 client
// reaching the IPv6 socket (::ffff:a.b.c.d) is its IPv4 address, for the
// comment limit that every listener shares and for --trusted-proxy.
TEST(ServerWire, BothFamiliesShareOneLimit) {
    const TempDir state;
    ServerProcess server(state.path(),
                         {"--listen", "127.0.0.1:0", "--listen", "[::]:0", "--comments-per-hour",
                          "2", "--trusted-proxy", "127.0.0.3"});
    ASSERT_EQ(server.ports().size(), 2u);
    EXPECT_EQ(statusOf(httpExchange(server.ports()[1], updateQuestion(), 10s, "::1")), 200);
    const struct {
        int listener; // 0: IPv4, 1: IPv6 on every address
        const char* from;
        const char* forwardedFor;
        int status;
    } cases[] = {
        {0, "127.0.0.2", "", 200},
        {1, "127.0.0.2", "", 200},
        {1, "127.0.0.2", "", 429},
        {0, "127.0.0.2", "", 429},
        {1, "::1", "", 200},
        {1, "127.0.0.3", "10.0.0.1", 200},
        {1, "127.0.0.3", "10.0.0.2", 200},
        {1, "127.0.0.3", "10.0.0.1", 200},
        {0, "127.0.0.3", "10.0.0.1", 429},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            statusOf(httpExchange(server.ports()[static_cast<std::size_t>(c.listener)],
                                  post(kComment, "CommentText=hi",
                                       std::string("X-Forwarded-For: ") + c.forwardedFor + "\r\n"),
                                  10s, c.from)),
            c.status)
            << c.listener << " " << c.from << " " << c.forwardedFor;
}

// Started through a socket from systemd (as pelvoran-server.socket does, here
// with systemd-socket-activate, which starts the program at the first
// connection): the socket named "public" is the public listener and --listen,
// the same address, is not bound; a socket of another name, or none, is
// refused.
TEST(ServerWire, TakesTheSocketSystemdPasses) {
    if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is missing: install Debian's systemd package";
    const struct {
        const char* name;
        bool answers;    // the update check, or the server ends with an error
        const char* log; // in what the server printed
    } cases[] = {
        {"public", true, "listening on 127.0.0.1:"},
        {"web", false, "FileDescriptorName=public"},
        {"", false, "FileDescriptorName=public"}, // a name left empty
    };
    for (const auto& c : cases) {
        const TempDir state;
        const std::string at = "127.0.0.1:" + std::to_string(freePort());
        const std::string log = state.path() + "/log";
        ChildProcess activator({"systemd-socket-activate", "-l", at,
                                std::string("--fdname=") + c.name, PELVORAN_SERVER_EXE, "serve",
                                "--state", state.path() + "/state", "--listen", at,
                                "--admin-listen", "127.0.0.1:0"},
                               log);
        ASSERT_TRUE(activator.started());
        const int port = std::stoi(at.substr(at.rfind(':') + 1));
        if (c.answers) {
            EXPECT_EQ(statusOf(askUntilAnswered(port, updateQuestion(), 30s)), 200) << c.name;
            EXPECT_EQ(activator.stop(SIGTERM), 0) << c.name;
        } else {
            // A connection starts the server, which refuses the socket and
            // ends; no connection is answered meanwhile.
            for (int i = 0; i < 100 && fileBytes(log).find(c.log) == std::string::npos; ++i) {
                EXPECT_EQ(statusOf(httpExchange(port, updateQuestion(), 5s)), 0) << c.name;
                std::this_thread::sleep_for(50ms);
            }
            EXPECT_NE(activator.stop(0), 0) << c.name;
        }
        const std::string printed = fileBytes(log);
        EXPECT_NE(printed.find(c.log), std::string::npos) << c.name << ": " << printed;
    }
}

// A comment that cannot be committed gets 503, never 200, and is not there;
// so does /healthz, with why, until the next comment, once the database is
// free again, is stored. The failures are one line in the log, not one each.
TEST(ServerWire, CommentThatCannotBeCommittedGets503) {
    const TempDir state;
    ServerProcess server(state.path(), {"--busy-timeout", "100"});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((state.path() + "/comments.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const char* text : {"CommentText=lost", "CommentText=lost too"})
        EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, text), 30s)), 503);
    // The form's comment gets its text back, and no code to read an answer.
    const std::string web = httpExchange(server.port(), post("/comment", "text=lost+web"), 30s);
    EXPECT_EQ(statusOf(web), 503) << web;
    EXPECT_NE(bodyOf(web).find(">lost web</textarea>"), std::string::npos) << web;
    EXPECT_EQ(bodyOf(web).find("reply-code-shown"), std::string::npos) << web;
    ASSERT_EQ(sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string failed = healthSays(server.port(), 503, "上一次保存留言失败");
    EXPECT_NE(failed.find("database is locked"), std::string::npos) << failed;
    EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=kept"))), 200);
    EXPECT_EQ(withoutAge(bodyOf(healthSays(server.port(), 200, "ok\n", true))), "ok\n");
    EXPECT_EQ(exported(state.path()), std::vector<std::string>{"kept"});
    ASSERT_EQ(server.stop(SIGTERM), 0);
    const std::string log = server.errors();
    const auto first = log.find("未能保存");
    EXPECT_EQ(log.find("未能保存", first + 1), std::string::npos) << "a line each: " << log;
    EXPECT_NE(log.find("过去一分钟未能保存的留言：3 条"), std::string::npos) << log;
    EXPECT_NE(log.find("database is locked"), std::string::npos) << log;
}
