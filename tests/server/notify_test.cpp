// Notifications without sockets: the webhook's body and signature, the
// e-mail as a mail reader decodes it, the retry schedule, and where plain
// SMTP may go.
#include "server/comments/comment_export.h"
#include "server/notify/notify.h"
#include "server/notify/notify_texts.h"
#include "server/store/store.h"
#include "tests/support/server_process.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

namespace {

/// What `command` prints, given `input` on its standard input.
std::string piped(const std::string& command, const std::string& input, const std::string& dir) {
    const std::string in = dir + "/in";
    std::ofstream(in, std::ios::binary) << input;
    std::FILE* p = ::popen(("timeout 20 " + command + " < " + in).c_str(), "r");
    std::string out;
    char buf[4096];
    for (std::size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p != nullptr)
        ::pclose(p);
    return out;
}

} // namespace

// RFC 4231's vectors, and a webhook body signed as OpenSSL's own command
// line signs it.
TEST(NotifyCore, SignatureIsHmacSha256OfTheExactBody) {
    const struct {
        std::string key, data, expected;
    } vectors[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    };
    for (const auto& v : vectors)
        EXPECT_EQ(hmacSha256Hex(v.key, v.data), v.expected) << v.data;

    const test::TempDir dir;
    const StoredComment c{
        12, std::chrono::sys_seconds(1796713329s), u"镜头\"好\"\n第二行\\", kFromWeb, false, true};
    const std::string body = notificationJson(c, commentLink("https://a.example/admin/", 12));
    EXPECT_EQ(body, "{\"id\":12,\"received\":\"2026-12-08T07:02:09Z\",\"text\":\"镜头\\\"好\\\"\\n"
                    "第二行\\\\\",\"source\":\"web\",\"flagged\":true,"
                    "\"url\":\"https://a.example/admin/comment?id=12\"}");
    const std::string openssl = piped("openssl dgst -sha256 -hmac 's3cr=t' -r", body, dir.path());
    ASSERT_GE(openssl.size(), 64u) << openssl;
    EXPECT_EQ(webhookSignature("s3cr=t", body), "sha256=" + openssl.substr(0, 64));
}

// The subject as RFC 2047 words of at most 75 characters, each of whole
// characters, and the whole mail as Python's mail parser reads it.
TEST(NotifyCore, MailDecodesAsWritten) {
    const test::TempDir dir;
    const std::string decode =
        "/usr/bin/python3 -c \"import sys, email.header as h; sys.stdout.write(str(h.make_header("
        "h.decode_header(sys.stdin.read()))))\"";
    for (const std::string& subject :
         {std::string("Plain ASCII"), notify_text::mailSubject("12"),
          std::string(40, 'a') + "镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头镜头",
          std::string("a=?b 😀")}) {
        const std::string words = encodedWords(subject);
        std::size_t start = 0;
        for (std::size_t end; start <= words.size(); start = end + 3) {
            end = std::min(words.find("\r\n ", start), words.size());
            EXPECT_LE(end - start, 75u) << words;
        }
        EXPECT_EQ(piped(decode, words, dir.path()), subject) << words;
    }
    const StoredComment c{
        7, std::chrono::sys_seconds(1796713329s), u"第一行\n第二行 ✓", kFromDesktop, false, false};
    const std::string mail = notificationMail(c, "https://a.example/comment?id=7", "me@x.cn",
                                              std::chrono::sys_seconds{});
    const std::string parsed =
        piped("/usr/bin/python3 -c \"import sys, email, email.policy as p; m = "
              "email.message_from_binary_file("
              "sys.stdin.buffer, policy=p.default); print(m['Subject']); print(m['To']); "
              "print(m['Date']); sys.stdout.write(m.get_content().replace('\\r\\n', '\\n'))\"",
              mail, dir.path());
    for (const std::string& part :
         {notify_text::mailSubject("7") + "\nme@x.cn\nThu, 01 Jan 1970 00:00:00 +0000\n",
          notify_text::kMailNumber + std::string("7"),
          notify_text::mailSource(sourceName(kFromDesktop), false),
          notify_text::kMailLink + std::string("https://a.example/comment?id=7"),
          std::string("第一行\n第二行 ✓")})
        EXPECT_NE(parsed.find(part), std::string::npos) << part << "\n---\n" << parsed;
}

TEST(NotifyCore, RetriesDoubleToAnHourAndStopAfterADay) {
    const RetrySchedule product;
    const struct {
        std::int64_t failures;
        std::chrono::milliseconds delay;
    } delays[] = {{1, 10s}, {2, 20s}, {3, 40s}, {9, 2560s}, {10, 3600s}, {1000, 3600s}};
    for (const auto& d : delays)
        EXPECT_EQ(product.delayAfter(d.failures), d.delay) << d.failures;
    const struct {
        std::chrono::milliseconds age;
        bool givesUp;
    } ages[] = {{1h, false}, {24h, false}, {24h + 1ms, true}};
    for (const auto& a : ages)
        EXPECT_EQ(product.givesUp(a.age), a.givesUp) << a.age.count();
    EXPECT_EQ(RetrySchedule{100ms}.delayAfter(3), 400ms);
    EXPECT_EQ(RetrySchedule{100ms}.sendTimeout(), 1s);
    EXPECT_EQ(product.sendTimeout(), 10s);
}

// Plain SMTP is allowed by address alone: every name but localhost (which
// libcurl answers itself) is looked up, so how it reads proves nothing.
TEST(NotifyCore, LoopbackIsAnAddressNotAName) {
    const struct {
        const char* host;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", true},
        {"127.255.255.254", true},
        {"[::1]", true},
        {"[0:0:0:0:0:0:0:1]", true},
        {"localhost", true},
        {"127.evil.example", false},
        {"127.0.0.1.nip.io", false},
        {"127.1", false},
        {"0177.0.0.1", false},
        {"localhost.", false},
        {"[::ffff:127.0.0.1]", false},
        {"128.0.0.1", false},
        {"::1", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLoopbackHost(c.host), c.loopback) << c.host;
}
