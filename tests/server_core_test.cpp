// What needs no server process: the release reply read back by the tool's
// own unescaping and field cutting.
#include "net/escaping.h"
#include "net/update_check.h"
#include "server/release.h"

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
