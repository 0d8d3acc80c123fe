// The comment post against a real server on 127.0.0.1.
#include "net/comment_post.h"
#include "net/http_acquisition.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

#include <set>

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

RecordingShell unusedShell;

Services servicesFor(const HttpComponentRegistry& registry, MessageBoxes& boxes,
                     const std::string& base) {
    return {registry, boxes, unusedShell, [] { return LocalDateTime{}; }, RegionalSettings::zhCN(),
            u16(base)};
}

} // namespace

TEST(CommentPost, BodyAndContentLengthOnTheWire) {
    struct Case {
        Text comment;
        std::string body;
        std::string length;
    };
    const Case cases[] = {
        {u"镜头很好", "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3", "36"},
        {u"a&b=c", "CommentText=a&b=c", "17"},
        {u"  hi  ", "CommentText=  hi  ", "18"},
        {u"\r\n", "CommentText=\r\n", "14"},
        {u"EF 50mm f/1.8 UE0945 2010年买的",
         "CommentText=EF 50mm f/1.8 UE0945 2010%C4%EA%C2%F2%B5%C4", "55"},
        {u"한국", "CommentText=\xED\x95\x9C\xEA\xB5\xAD", "18"}, // not in GBK: UTF-8 bytes
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
        EXPECT_EQ(contentLengths(last.head), c.length);
        EXPECT_EQ(last.body, c.body);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, u"感谢");
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

TEST(CommentPost, ThanksEvenWhenNothingArrives) {
    const auto curl = registryForAllClassNames(curlHttpRequestFactory());
    const HttpComponentRegistry none;
    const std::string down = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    LoopbackServer failing({ServerBehaviour::Mode::Reply, LoopbackServer::reply(500, "oops")});
    struct Case {
        const HttpComponentRegistry* registry;
        std::string base;
    };
    for (const auto& c :
         {Case{&curl, down}, Case{&none, failing.base()}, Case{&curl, failing.base()}}) {
        RecordingMessageBoxes boxes;
        CommentPost post(servicesFor(*c.registry, boxes, c.base));
        EXPECT_TRUE(post.Command1_Click(u"hello"));
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, u"感谢");
    }
    EXPECT_EQ(failing.requests().size(), 1u); // only the one with a component
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
