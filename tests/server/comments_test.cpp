// Comments on their own: the bodies of the tools in the field, a comment's
// text in a spreadsheet, and what holds one as likely spam.
#include "net/escaping.h"
#include "server/comments/comment_decoding.h"
#include "server/comments/comment_export.h"
#include "server/comments/comment_hold.h"
#include "server/store/store.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

// A cell a spreadsheet would run as a formula gets an apostrophe first; one
// holding a separator, a quote or a line break is quoted.
TEST(CommentText, CsvCellsAreQuotedAndNeverStartAFormula) {
    const struct {
        Text text;
        std::string cell;
    } cases[] = {
        {u"=1+1", "'=1+1"},     {u"+1", "'+1"},
        {u"-1", "'-1"},         {u"@SUM(A1)", "'@SUM(A1)"},
        {u"\t=1+1", "'\t=1+1"}, {u"\r=1+1", "\"'\r=1+1\""},
        {u"a=1", "a=1"},        {u"say \"hi\"", "\"say \"\"hi\"\"\""},
        {u"a,b", "\"a,b\""},    {u"a\nb", "\"a\nb\""},
    };
    for (const auto& c : cases) {
        const StoredComment comment{7, std::chrono::sys_seconds{}, c.text, "web", false, false};
        EXPECT_EQ(csvRecord(comment), "7,1970-01-01T00:00:00Z," + c.cell + ",web,false,false,\r\n")
            << toUtf8(c.text);
    }
}

// Each body as one of the two kinds of tool in the field writes it, and the
// text the publisher reads.
TEST(CommentBodies, BothKindsOfToolAreReadAsMeant) {
    const struct {
        std::string body;
        std::string text;
    } cases[] = {
        {"CommentText=%BE%B5%CD%B7", "镜头"},
        {"CommentText=a%26b%3Dc", "a&b=c"},
        {"CommentText=a&b=c", "a&b=c"}, // published 1.05
        {"CommentText=50%25 off%2B1", "50% off+1"},
        {"CommentText=50% off+1", "50% off+1"}, // published 1.05
        {"CommentText=%26%23128512%3B", "😀"},
        {"CommentText=%26%2354620%3B%26%2365%3b", "한A"},
        {"CommentText=%26#65;", "&#65;"}, // typed literally
        {"CommentText=%80", "€"},
        {"CommentText=%26%230%3B", "&#0;"},
        {"CommentText=%26%2355357%3B", "&#55357;"},     // a surrogate
        {"CommentText=%26%231114112%3B", "&#1114112;"}, // above U+10FFFF
        {"CommentText=%26%2300000065%3B", "&#00000065;"},
        {"CommentText=a%0D%0Ab", "a\nb"},
        {"CommentText=a\rb\nc\r\nd%0Ae%0D", "a\nb\nc\nd\ne\n"},
        {"CommentText=\r\n", "\n"}, // line breaks are not blank
        {"CommentText=\t", "\t"},
        {"CommentText=\xE9\x95\x9C\xE5\xA4\xB4 ok", "镜头 ok"}, // raw UTF-8
        {"CommentText=\xE9\x95\x9C\xFFx", "镜\xEF\xBF\xBDx"},   // raw, then invalid
        {"CommentText=%BE%B5 \xE9\x95\x9C", "镜 镜"},
        {"CommentText=x=CommentText=y", "x=CommentText=y"},
        {"CommentText=%FF%FE!", "\xEF\xBF\xBD\xEF\xBF\xBD!"}, // invalid GBK
        {"CommentText=%BE", "\xEF\xBF\xBD"},                  // half a character
        {"CommentText=%4 %zz %", "%4 %zz %"},                 // truncated escapes
        {"CommentText=a%00b\x01", "a\xEF\xBF\xBD"
                                  "b\x01"},
        {"CommentText=%E3%80%80x", "銆€x"}, // escaped bytes are GBK, never UTF-8
    };
    for (const auto& c : cases) {
        const auto text = decodeDesktopComment(c.body);
        ASSERT_TRUE(text) << c.body;
        EXPECT_EQ(toUtf8(*text), c.text) << c.body;
    }
}

// What holds a comment by its text alone, once folded (NFKC, invisible
// characters gone): links in their disguises, mobile numbers however
// written, a contact word with an id. Lens comments with serials, date
// codes and model names are not held, nor is a run of digits that is no
// mobile number.
TEST(CommentHold, TextRulesHoldSpamButNoLensComment) {
    const struct {
        const char* text;
        const char* held;
    } cases[] = {
        {"看这里 http://example.net/x", kHeldLink},
        {"ＨＴＴＰＳ：／／ＥＸＡＭＰＬＥ．ＩＯ", kHeldLink},
        {"h t t p : / / x", kHeldLink},
        {"www.4example.org 有货", kHeldLink},
        {"便宜镜头上 shop-88.top 看看", kHeldLink},
        {"example . com", kHeldLink},
        {"example[.]com", kHeldLink},
        {"example (dot) cn", kHeldLink},
        {"example dot com", kHeldLink},
        {"example点com", kHeldLink},
        {"example。xyz", kHeldLink},
        {"exa\u200Bmple.c\u200Dom", kHeldLink},
        {"e\u00ADxample\u2060.\u202Ecom\uFEFF", kHeldLink},
        {"邮箱 123456@163.com", kHeldLink},
        {"电话13812345678", kHeldPhone},
        {"１３８１２３４５６７８", kHeldPhone},
        {"①③⑧①②③④⑤⑥⑦⑧", kHeldPhone},
        {"138 1234 5678", kHeldPhone},
        {"138\t1234\n5678", kHeldPhone},
        {"139－1234－5678", kHeldPhone},
        {"+86 159.1234.5678", kHeldPhone},
        {"8615912345678", kHeldPhone},
        {"1\u200B3\u200C812345678", kHeldPhone},
        {"有事加QQ 12345678", kHeldContact},
        {"ＱＱ：１２３４５", kHeldContact},
        {"微信号是 Zhang_San2024", kHeldContact},
        {"vx: lens-shop88", kHeldContact},
        {"联系方式 wxid88888", kHeldContact},
        {"WeChat ID abc123456", kHeldContact},
        {"我的镜头编号 12345678，是哪年生产的？", ""},
        {"编号1234567890，2015年3月在北京买的", ""},
        {"UE0945 是哪个工厂？微信上有人说是大分", ""},
        {"EF 24-105mm f/4L IS USM，编号 2345678901", ""},
        {"EF-S 18-55mm f/3.5-5.6 IS II，编码 UF1203", ""},
        {"RF 24-70mm F2.8 L IS USM。很好用，Tokina AT-X 11-16 F2.8 PRO 也是", ""},
        {"EF 100-400mm f/4.5-5.6L 编号 13345678 100-400", ""},
        {"两个编号连在一起 138123456781234 不是电话", ""},
        {"13812345678 的前一位 2 加上就是 213812345678", kHeldPhone},
        {"213812345678", ""},
        {"我联系了佳能客服，编号 UE0945", ""},
        {"联系 UE0945 的卖家", ""},
        {"联系 EOS-R5 的卖家，加我 RF24-105", ""},
        {"加我 efg12345", kHeldContact},
        {"QQ群里有人推荐的，wx 上也问过", ""},
        {"用了 f/1.8。HK 行货，10 年了。Com 不是网址", ""},
        {"EF 50mm。CN 版，编号 UE0945", ""},
        {"RF 24-105mm。cn 版", ""},
        {"买镜头上 shop50mm。cn", kHeldLink},
    };
    for (const auto& c : cases)
        EXPECT_EQ(textHoldReason(u16(c.text)), c.held) << c.text;
}

// A comment is a near-copy of one another network sent within the hour:
// the same text but its digits, or 5-character shingles 80 % alike. The
// same network never counts, nor does a short text, an unknown network or
// a comment forgotten after the hour or after 500 others.
TEST(CommentHold, NearCopiesFromAnotherNetworkWithinTheHour) {
    SettableClock clock(Clock::TimePoint(std::chrono::hours(24 * 20000)));
    CommentHold hold(clock);
    const std::string text =
        "这款镜头的编号在卡口上找不到，请问应该看哪里？说明书上写的位置和实物不一样，"
        "有没有人能拍一张图片发上来看看，谢谢大家了";
    const std::string one = "4\1\2", two = "4\1\3", three = "4\2\3";
    const struct {
        std::string text;
        std::string network;
        std::string held;
        std::chrono::minutes later{0};
    } cases[] = {
        {text + "，编号 12345678", one, ""},
        {text + "，编号 12345678", one, ""},                     // the same network
        {text + "，编号 87654321", two, kHeldCopy},              // another, digits aside
        {"不同的" + text + "，编号 12345678", three, kHeldCopy}, // shingles alike
        {"这款镜头的编号在卡口上找不到，请问应该看哪里", three, ""},
        {"谢谢，很好用", one, ""},
        {"谢谢，很好用", two, ""}, // short
        {text, "", ""},            // whose network is unknown
        {"http://example.com " + text, two, kHeldLink},
        {text + "，编号 11111111", "4\3\3", ""}, // an hour after the first
    };
    for (const auto& c : cases) {
        if (&c == &cases[std::size(cases) - 1])
            clock.advance(std::chrono::hours(1));
        EXPECT_EQ(hold.reason(u16(c.text), c.network), c.held) << c.text;
    }
    CommentHold fresh(clock);
    EXPECT_EQ(fresh.reason(u16(text), one), "");
    for (std::size_t i = 0; i < CommentHold::kKept; ++i)
        fresh.reason(
            u16(std::string(20, static_cast<char>('a' + i % 26)) + std::string(i / 26 + 1, 'x')),
            one);
    EXPECT_EQ(fresh.reason(u16(text), two), "") << "forgotten after 500 others";
}
