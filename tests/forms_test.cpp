// The rules both window shells share: what the boxes take in and give out,
// how a message is cut to fit the screen, and where a label's lines break.
#include "forms/form_rules.h"

#include <gtest/gtest.h>

#include <vector>

using namespace pelvoran;

TEST(FormRules, FirstLine) {
    const struct {
        TextView text;
        TextView first;
    } cases[] = {
        {u"UE0945", u"UE0945"},
        {u"UE0945\n", u"UE0945"},
        {u"UE0945\r\nx", u"UE0945"},
        {u"a\rb", u"a"},
        {u"a\u2028b", u"a"},
        {u"a\u2029b", u"a"},
        {u"a\u0085b", u"a"},
        {u"a\vb", u"a"},
        {u"a\fb", u"a"},
        {u"\nUE0945", u""},
        {u"", u""},
        {u"a\tb c", u"a\tb c"},
        {u"a\u00A0b", u"a\u00A0b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(form_rule::firstLine(c.text), c.first) << toUtf8(c.text);
}

TEST(FormRules, KeepFirstLineOfInsertion) {
    const struct {
        TextView before;
        TextView after;
        std::size_t cursor;
        TextView kept;
    } cases[] = {
        {u"", u"UE0945\r\n", 8, u"UE0945"},
        {u"UE45", u"UE09\n45", 5, u"UE0945"},
        {u"UE45", u"UE09\nxx45", 7, u"UE0945"},
        {u"AB", u"AB\nxB", 4, u"ABB"}, // the inserted text ends where the cursor is
        {u"AB", u"A\nB", 2, u"AB"},    // a bare line break: nothing of it is kept
        {u"abc", u"abcd", 4, u"abcd"}, // typing
        {u"abc", u"ac", 1, u"ac"},     // deleting
        {u"abc", u"x\ny", 3, u"x"},    // the whole text replaced
        {u"ab", u"ab", 2, u"ab"},
        {u"ab", u"a\nb", 99, u"a"}, // a cursor past the end counts as at the end
    };
    for (const auto& c : cases)
        EXPECT_EQ(form_rule::keepFirstLineOfInsertion(c.before, c.after, c.cursor), c.kept)
            << toUtf8(c.after);
}

TEST(FormRules, CommentLineBreaksGoOutAsCrLf) {
    const struct {
        TextView box;
        TextView posted;
    } cases[] = {
        {u"a\u2029b", u"a\r\nb"},       {u"a\nb\rc\r\nd", u"a\r\nb\r\nc\r\nd"},
        {u"\u2029\u2029", u"\r\n\r\n"}, {u"\r\n", u"\r\n"},
        {u"\r\r\n\n", u"\r\n\r\n\r\n"}, {u"a\u2028b\u00A0c", u"a\u2028b\u00A0c"}, // as typed
        {u"  hi  ", u"  hi  "},         {u"", u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(form_rule::commentWithCrLf(c.box), c.posted) << toUtf8(c.box);
}

namespace {

const Text kOffer = u"最新版本: 1.06\r更新说明: abcdef\r点击确定下载升级程序。\r";

} // namespace

TEST(FormRules, CutMessageBodyKeepsTheLastLine) {
    const std::size_t body = form_rule::messageBodyLength(kOffer);
    EXPECT_EQ(body, Text(u"最新版本: 1.06\r更新说明: abcdef").size());
    const struct {
        TextView message;
        std::size_t keep;
        TextView cut;
    } cases[] = {
        {kOffer, body, kOffer},
        {kOffer, 1000, kOffer},
        {kOffer, body - 3, u"最新版本: 1.06\r更新说明: abc…\r点击确定下载升级程序。\r"},
        {kOffer, 0, u"…\r点击确定下载升级程序。\r"},
        {u"one line only", 3, u"one…"},
        {u"a\rlast", 0, u"…\rlast"},
        {u"a\U0001F600b\rlast", 2, u"a…\rlast"}, // a surrogate pair stays whole or goes
        {u"a\U0001F600b\rlast", 3, u"a\U0001F600…\rlast"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(form_rule::cutMessageBody(c.message, c.keep), c.cut)
            << toUtf8(c.message) << " keep " << c.keep;
}

// A box "fits" here while its text has at most `room` code units.
TEST(FormRules, FitMessageKeepsTheLongestBodyThatFits) {
    const struct {
        std::size_t room;
        TextView shown;
    } cases[] = {
        {kOffer.size(), kOffer},
        {kOffer.size() - 2, u"最新版本: 1.06\r更新说明: abc…\r点击确定下载升级程序。\r"},
        {0, u"…\r点击确定下载升级程序。\r"}, // nothing fits: the last line stays
    };
    for (const auto& c : cases) {
        int asked = 0;
        const Text shown = form_rule::fitMessage(kOffer, [&](const Text& t) {
            ++asked;
            return t.size() <= c.room;
        });
        EXPECT_EQ(shown, c.shown) << c.room;
        EXPECT_LE(asked, 8) << "found by halving, not by trying every length";
    }
}

namespace {

/// A font of 6-pixel half-width and 12-pixel full-width characters.
int measure(TextView run) {
    int width = 0;
    for (const char16_t c : run)
        width += c < 0x80 ? 6 : 12;
    return width;
}

std::vector<Text> wrapped(TextView caption, int width) {
    std::vector<Text> lines;
    for (const TextView line : form_rule::wrapLabel(caption, width, measure))
        lines.emplace_back(line);
    return lines;
}

} // namespace

TEST(FormRules, LabelLinesBreakWhereTheyMay) {
    const struct {
        TextView caption;
        int width;
        std::vector<Text> lines;
    } cases[] = {
        {u"abc def", 30, {u"abc", u"def"}},        // at the blank, which hangs
        {u"ab   cd", 12, {u"ab", u"cd"}},          // however many blanks
        {u"abcdefghij", 30, {u"abcde", u"fghij"}}, // no place to break: at the edge
        {u"镜头很好，谢谢",
         48,
         {u"镜头很", u"好，谢谢"}}, // closing punctuation never starts a line
        {u"镜头很好。", 48, {u"镜头很", u"好。"}},
        {u"镜头很好）", 48, {u"镜头很", u"好）"}},
        {u"镜头（型号", 36, {u"镜头", u"（型号"}},          // opening punctuation never ends one
        {u"镜头UE0945", 48, {u"镜头", u"UE0945"}},          // beside an ideograph
        {u"a\U0001F600b", 12, {u"a", u"\U0001F600", u"b"}}, // never half a character
        {u"a\rb\r\nc\nd", 100, {u"a", u"b", u"c", u"d"}},   // every kind of line break
        {u"a\r", 100, {u"a", u""}},
        {u"", 100, {u""}},
        {u"ab", 0, {u"a", u"b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wrapped(c.caption, c.width), c.lines) << toUtf8(c.caption) << " in " << c.width;
}
