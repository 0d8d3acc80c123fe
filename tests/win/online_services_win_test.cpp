// The update check and the comment post end to end: the core's logic, the
// WinHTTP component, a real server on 127.0.0.1; and the pending-keys file
// that the comment post keeps on Windows.
#include "net/answer_keys.h"
#include "net/comment_post.h"
#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/update_check.h"
#include "platform/signature.h"
#include "platform/winhttp/winhttp_request.h"
#include "tests/answer_key_file_cases.h"
#include "tests/support/agent_line.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "tests/support/signed_replies.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <windows.h>

using namespace pelvoran;
using namespace pelvoran::test;

namespace {

const HttpComponentRegistry& registry() {
    static const HttpComponentRegistry r = registryForAllClassNames(winHttpRequestFactory());
    return r;
}

Services servicesFor(MessageBoxes& boxes, Shell& shell, const std::string& base,
                     const std::string& updateKey = "",
                     const HttpComponentRegistry& components = registry()) {
    return {components,
            boxes,
            shell,
            [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
            RegionalSettings::zhCN(),
            u16(base),
            updateKey};
}

/// The boxes the update check shows for one reply, with the key or none.
std::vector<RecordingMessageBoxes::Shown> offered(const std::string& body,
                                                  const std::string& updateKey,
                                                  const std::string& type = "text/plain") {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, body, type)});
    RecordingMessageBoxes boxes;
    boxes.setNextAnswer(MessageAnswer::Cancel);
    RecordingShell shell;
    UpdateCheck check(servicesFor(boxes, shell, server.base(), updateKey));
    check.CheckUpdate();
    EXPECT_TRUE(shell.opened.empty()) << body;
    return boxes.shown;
}

} // namespace

TEST(OnlineServicesWin, UpdateQueryAndGbkReplyOverTheWire) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply,
         LoopbackServer::reply(200,
                               "1.06[;]http://example.com/p.exe[;]2012-12-30[;]\xD0\xDE\xD5\xFD",
                               "text/html; charset=gb2312")});
    RecordingMessageBoxes boxes;
    boxes.setNextAnswer(MessageAnswer::Cancel);
    RecordingShell shell;
    UpdateCheck check(servicesFor(boxes, shell, server.base()));
    check.CheckUpdate();

    ASSERT_EQ(server.requests().size(), 1u);
    std::string head = server.requests()[0].head;
    EXPECT_EQ(takeAgentLines(head), std::vector{expectedAgentLine("Windows")});
    EXPECT_EQ(head, "GET /Canon/LensCheck.asp?Action=Check&D=2026/12/7%205:02:03 HTTP/1.1\r\n"
                    "Host: 127.0.0.1:" +
                        std::to_string(server.port()) + "\r\nAccept: */*\r\n\r\n");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, u"有更新版本");
    EXPECT_EQ(boxes.shown[0].message, u"最新版本: 1.06\r发布日期: 2012-12-30\r更新说明: 修正\r"
                                      u"点击确定下载升级程序。\r");
    EXPECT_TRUE(shell.opened.empty());
    EXPECT_EQ(shell.exits, 0);
}

// Under a one-second limit rather than the tool's five (the limits
// themselves are the component suite's): a check that has given up before
// the tool's own limit would have ended it gave up by the limit passed.
TEST(OnlineServicesWin, NoServerNoMessage) {
    HttpLimits limits;
    limits.connectTimeout = std::chrono::milliseconds(1000);
    limits.totalTimeout = std::chrono::milliseconds(1000);
    const HttpComponentRegistry components =
        registryForAllClassNames(winHttpRequestFactory(limits));
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    LoopbackServer notFound({ServerBehaviour::Mode::Reply, LoopbackServer::reply(404, "2.0")});
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    for (const std::string& base : {refused, silent.base(), notFound.base()}) {
        RecordingMessageBoxes boxes;
        RecordingShell shell;
        UpdateCheck check(servicesFor(boxes, shell, base, "", components));
        const auto start = std::chrono::steady_clock::now();
        check.CheckUpdate();
        EXPECT_LT(std::chrono::steady_clock::now() - start, HttpLimits{}.totalTimeout) << base;
        EXPECT_TRUE(boxes.shown.empty()) << base;
        EXPECT_EQ(shell.exits, 0) << base;
    }
}

TEST(OnlineServicesWin, CommentBodyAndContentLengthOnTheWire) {
    // The body is the core's "CommentText=" and URLEncoding, byte for byte,
    // and Content-Length counts its bytes.
    const Text comments[] = {
        u"镜头很好", u"a&b=c", u"  hi  ", u"\r\n", u"EF 50mm f/1.8 UE0945 2010年买的", u"한국"};
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    for (const auto& comment : comments) {
        RecordingMessageBoxes boxes;
        RecordingShell shell;
        CommentPost post(servicesFor(boxes, shell, server.base()));
        const auto before = server.requests().size();
        EXPECT_TRUE(post.Command1_Click(comment));
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), before + 1);
        const auto& r = requests.back();
        const std::string body = toUtf8(u"CommentText=" + URLEncoding(comment));
        std::string head = r.head;
        EXPECT_EQ(takeAgentLines(head), std::vector{expectedAgentLine("Windows")});
        EXPECT_EQ(head, "POST /Canon/comment.asp HTTP/1.1\r\nHost: 127.0.0.1:" +
                            std::to_string(server.port()) +
                            "\r\nAccept: */*\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nCONTENT-TYPE: application/x-www-form-urlencoded\r\n\r\n");
        EXPECT_EQ(r.body, body);
    }
    EXPECT_EQ(server.requests()[0].body, "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3");
}

// CNG checks the signature: a forgery is no offer, the genuine reply gives
// the very offer a tool without a key shows, also when the reply comes in
// GBK (the tool signs what it holds after decoding, as UTF-8).
TEST(OnlineServicesWin, SignedOffers) {
    using namespace signed_vectors;
    for (const Forgery& f : forgeries())
        EXPECT_TRUE(offered(f.body, kPublicKey).empty()) << f.what;
    SignedRelease gbk = kChineseNotes;
    gbk.fields[3] = "\xD0\xDE\xD5\xFD";
    const struct {
        std::string body;
        std::string type;
    } genuine[] = {{signedReply(kFixes), "text/plain"},
                   {signedReply(kChineseNotes), "text/plain"},
                   {signedReply(gbk), "text/html; charset=gb2312"}};
    for (const auto& g : genuine) {
        const auto unsigned_ = offered(g.body.substr(0, g.body.rfind("[;]")), "", g.type);
        const auto keyed = offered(g.body, kPublicKey, g.type);
        const auto noKey = offered(g.body, "", g.type);
        ASSERT_EQ(unsigned_.size(), 1u) << g.body;
        ASSERT_EQ(keyed.size(), 1u) << g.body;
        ASSERT_EQ(noKey.size(), 1u) << g.body;
        EXPECT_EQ(keyed[0].message, unsigned_[0].message) << g.body;
        EXPECT_EQ(noKey[0].message, unsigned_[0].message) << g.body;
    }
}

namespace {

/// A folder of the test's own in the temporary folder, removed with
/// everything in it; its path in UTF-8.
struct TempFolder {
    TempFolder() {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        std::wstring wide(temp, n);
        wide += L"pelvoran-keys-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount64());
        CreateDirectoryW(wide.c_str(), nullptr);
        path = toUtf8(Text(wide.begin(), wide.end()));
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(pathOf(path), ignored);
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

} // namespace

// The file on Windows (tests/answer_key_file_cases.h): its folders made
// where they are missing, under a user's folder with Chinese in its name too.
TEST(OnlineServicesWin, ThePendingKeysFile) {
    TempFolder folder;
    for (const char* below : {"/Pelvoran", "/用户 资料/AppData/Roaming/Pelvoran"})
        checkAnswerKeyFileOnDisk(folder.path + below);
}

// Each comment window draws a secret of its own from the system (CNG) and
// sends its hash; the number the server gives back (a reply header, through
// WinHTTP) is kept with the secret and shown in the thanks.
TEST(OnlineServicesWin, TheCommentKeepsItsReplyKey) {
    TempFolder folder;
    const auto file = answerKeyFileIn(folder.path + "/Pelvoran");
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply,
         LoopbackServer::reply(200, "ok", "text/plain", "Pelvoran-Comment-Number: 42\r\n")});
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    Services services = servicesFor(boxes, shell, server.base());
    services.answerKeys = file.get();
    CommentPost post(services);
    EXPECT_TRUE(post.Command1_Click(u"EF 50mm UE0945"));
    post.newComment();
    EXPECT_TRUE(post.Command1_Click(u"镜头"));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].message, u"感谢您的宝贵建议!谢谢!\r留言编号：42。"
                                      u"发布者如有回复，会在以后启动本程序时显示。");
    const auto records = loadPendingAnswers(*file, LocalDateTime{2026, 12, 7, 5, 2, 3});
    ASSERT_EQ(records.size(), 2u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string key = headerValue(requests[i].head, "Pelvoran-Reply-Key");
        EXPECT_EQ(records[i].keyHash, key) << i;
        EXPECT_EQ(records[i].number, "42") << i;
        const auto secret = decodeBase64Url(records[i].secret);
        ASSERT_TRUE(secret.has_value()) << i;
        EXPECT_EQ(secret->size(), 16u) << i;
        EXPECT_EQ(replyKeyHash(*secret), key) << i;
    }
    EXPECT_EQ(records[1].comment, u"镜头");
    EXPECT_NE(records[0].secret, records[1].secret);
}
