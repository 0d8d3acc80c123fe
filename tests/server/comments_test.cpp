// Comments on their own: the bodies of the tools in the field, and a
// comment's text in a spreadsheet.
#include "net/escaping.h"
#include "server/comments/comment_decoding.h"
#include "server/comments/comment_export.h"
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
        EXPECT_EQ(csvRecord(comment), "7,1970-01-01T00:00:00Z," + c.cell + ",web,false,false\r\n")
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
