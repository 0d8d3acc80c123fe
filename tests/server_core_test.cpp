// What needs no server process: the release reply read back by the tool's
// own unescaping and field cutting, and the pages' text handling.
#include "net/escaping.h"
#include "net/update_check.h"
#include "server/public_site.h"
#include "server/release.h"
#include "server/web.h"

#include <gtest/gtest.h>

using namespace pelvoran;
using namespace pelvoran::server;

TEST(ReleaseReply, TheToolReadsBackExactlyTheFieldsPublished) {
    const Release cases[] = {
        {u"1.06", u"http://example.com/a b.exe", u"2026-12-01", u"Fixes"},
        {u"2", u"https://x.cn/下载?a=1&b=%41", u"2026年12月1日", u"100% 完成；%u4E2D 不是转义"},
        {u"1.10", u"http://x/", u"", u"表情😀\r\n第二行\n第三行 + [;"},
        {u"1.06", u"http://x/%", u"%", u"%25%"},
    };
    for (const auto& r : cases) {
        const std::string body = replyBody(r);
        EXPECT_EQ(body.find_first_not_of(
                      "\t\r\n !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                      "abcdefghijklmnopqrstuvwxyz{|}~"),
                  std::string::npos)
            << body;
        Text wire;
        for (const char c : body)
            wire += static_cast<char16_t>(static_cast<unsigned char>(c));
        const auto fields = splitReplyFields(Decode(wire));
        ASSERT_EQ(fields.size(), 4u) << body;
        EXPECT_EQ((Release{fields[0], fields[1], fields[2], fields[3]}), r) << body;
        EXPECT_FALSE(checkRelease(r).has_value()) << body;
    }
}

// One escaping function serves every page: markup typed by a user stays text
// in element content and in quoted attributes.
TEST(Pages, HtmlEscapingAndBrowserForms) {
    EXPECT_EQ(escapeHtml("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
    EXPECT_EQ(escapeHtml("\" onmouseover='x' a&b 镜头"),
              "&quot; onmouseover=&#39;x&#39; a&amp;b 镜头");

    const auto form = parseForm("text=50%25+off%2B1&a=%E9%95%9C%0D%0A&b&text=second&c=%FF%zz");
    EXPECT_EQ(form.at("text"), "50% off+1"); // "+" is a blank here; the first value counts
    EXPECT_EQ(form.at("a"), "镜\r\n");
    EXPECT_EQ(form.at("b"), "");
    EXPECT_EQ(form.at("c"), "\xEF\xBF\xBD%zz");

    // The code as the desktop box keeps it.
    EXPECT_EQ(codeAsTyped("UE0945\r\nsecond line"), "UE0945");
    EXPECT_EQ(codeAsTyped("123456789012345"), "1234567890");
    EXPECT_EQ(codeAsTyped("😀😀😀😀😀😀"), "😀😀😀😀😀"); // ten code units, no half character
    EXPECT_EQ(codeAsTyped("ab😀😀😀😀"), "ab😀😀😀😀");
    EXPECT_EQ(codeAsTyped("abc😀😀😀😀"), "abc😀😀😀");
}
