// What needs no server process: the release reply read back by the tool's
// own unescaping and field cutting, the release's checks, the text shown on
// a terminal or in a spreadsheet, and the pages' text handling.
#include "net/escaping.h"
#include "net/update_check.h"
#include "server/comment_export.h"
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

// What reads differently from what the tool does is refused, in the field
// at fault; its neighbours stay fine.
TEST(ReleaseChecks, RefusesWhatMisleadsThePublisherOrTheUser) {
    const Release good{u"1.06", u"https://x.cn/a.exe", u"2026-12-01", u"Fixes\nMore"};
    const struct {
        ReleaseField field;
        Text value;
        bool refused;
    } cases[] = {
        {ReleaseField::Version, u"1.06\u202E", true},
        {ReleaseField::Address, u"https://x.cn/\u202Eexe.txt", true},
        {ReleaseField::Date, u"\u20662026\u2069", true},
        {ReleaseField::Notes, u"a\u061Cb", true},
        {ReleaseField::Notes, u"a\u200Eb", true},
        {ReleaseField::Notes, u"a\u200Fb", true},
        {ReleaseField::Notes, u"a\u202Ab", true},
        {ReleaseField::Notes, u"a\u2067b", true},
        {ReleaseField::Notes, u"a\u2029b", true},
        {ReleaseField::Notes, u"a\u2065\u202F\u200Db", false}, // beside the ranges
        {ReleaseField::Address, u"http://pelvoran.example.com@evil.example/x.exe", true},
        {ReleaseField::Address, u"https://user:pw@x.cn/a.exe", true},
        {ReleaseField::Address, u"http://x.cn\\@evil.example/", true},
        {ReleaseField::Address, u"http://x.cn/a@b.exe", false},
        {ReleaseField::Address, u"http://x.cn?from=a@b", false},
        {ReleaseField::Version, u"01.07", true},
        {ReleaseField::Version, u"007", true},
        {ReleaseField::Version, u"10.07", false},
        {ReleaseField::Version, u"100", false},
    };
    for (const auto& c : cases) {
        Release r = good;
        (c.field == ReleaseField::Version   ? r.version
         : c.field == ReleaseField::Address ? r.address
         : c.field == ReleaseField::Date    ? r.date
                                            : r.notes) = c.value;
        const auto problem = checkRelease(r);
        EXPECT_EQ(problem.has_value(), c.refused) << toUtf8(c.value);
        if (problem && c.refused) {
            EXPECT_EQ(problem->field, c.field) << toUtf8(c.value);
        }
    }
    // "0.5" is refused as older than the tool, not for its zero.
    Release older = good, old = good;
    older.version = u"0.5";
    old.version = u"1.04";
    ASSERT_TRUE(checkRelease(older).has_value());
    EXPECT_EQ(checkRelease(older)->message, checkRelease(old)->message);
}

// Nothing in a comment acts on the terminal or passes for the head of an
// entry in `comments list`.
TEST(CommentText, TerminalShowsControlsAndIndentsEveryLine) {
    const struct {
        Text text;
        std::string shown;
    } cases[] = {
        {u"镜头很好😀", "    镜头很好😀\n"},
        {u"a\nb\n", "    a\n    b\n    \n"},
        {u"\n\n#9  2026-12-01 10:00:00  网页\n假的",
         "    \n    \n    #9  2026-12-01 10:00:00  网页\n    假的\n"},
        {u"\x1b]0;title\x07\x1b[2J", "    \\x1b]0;title\\x07\\x1b[2J\n"},
        {u"a\r#2", "    a\\x0d#2\n"},
        {u"\t\x7f\x80\x9b\x9f\xa0", "    \\x09\\x7f\\x80\\x9b\\x9f\xc2\xa0\n"},
        {u"x\u202Etxt.exe", "    x\\u202etxt.exe\n"},
        {u"\u061C\u200E\u200F\u202A\u2066\u2069\u2028\u2029",
         "    \\u061c\\u200e\\u200f\\u202a\\u2066\\u2069\\u2028\\u2029\n"},
        {u"\u200D\u2065\u202F", "    \u200D\u2065\u202F\n"}, // beside the ranges
        {u"", "    \n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(terminalText(c.text), c.shown) << toUtf8(c.text);
}

// A cell a spreadsheet would run as a formula gets an apostrophe first.
TEST(CommentText, CsvCellsNeverStartAFormula) {
    const struct {
        Text text;
        std::string cell;
    } cases[] = {
        {u"=1+1", "'=1+1"},     {u"+1", "'+1"},
        {u"-1", "'-1"},         {u"@SUM(A1)", "'@SUM(A1)"},
        {u"\t=1+1", "'\t=1+1"}, {u"\r=1+1", "\"'\r=1+1\""},
        {u"a=1", "a=1"},        {u"say \"hi\"", "\"say \"\"hi\"\"\""},
    };
    for (const auto& c : cases) {
        const StoredComment comment{7, 0, c.text, "web", false, false};
        EXPECT_EQ(csvRecord(comment), "7,1970-01-01T00:00:00Z," + c.cell + ",web\r\n")
            << toUtf8(c.text);
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
