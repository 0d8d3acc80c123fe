#include "decode/lens_query.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace pelvoran;

namespace {

const Text kUtsunomiya = u"日本宇都宫（Utsunomiya）工厂";

Text withNotice(const Text& answer) {
    return answer + u"\r此结果仅供参考，谢谢";
}

const Text kHint = u"请输入6、8或10位的编号，编号一般印在卡口处\r格式为 UE0945 或 6831234567 之类";
const Text kApology =
    u"非常抱歉，未能取得相关信息。麻烦您点留言按钮将镜头型号编号以及您的购买时间告诉我们,"
    u"以便我们完善数据信息。谢谢!";

struct Row {
    Text in;
    Text out;
};

class LensQueryTest : public ::testing::Test {
protected:
    LensQuery query{RegionalSettings::zhCN()};
};

} // namespace

TEST_F(LensQueryTest, QueryShowsAnswerHintOrApology) {
    const Row rows[] = {
        // wrong lengths: the two-line hint
        {u"", kHint},
        {u"     ", kHint},
        {u"UE09451", kHint},
        {u"UE09", kHint},
        {u"123456789", kHint},
        {u"12345678901", kHint},
        {u"\U0001F600ab", kHint}, // a surrogate pair counts as two characters: 4
        // letter codes
        {u" UE0945 ", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"UE0945", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"ue0945", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"UE945", withNotice(kUtsunomiya + u" 出厂日期:1990年9月")},
        {u"123456", withNotice(u"未知生产地 出厂日期未知")},
        {u"\U0001F600\U0001F600\U0001F600", withNotice(u"未知生产地 出厂日期未知")},
        {u"\tE0945", withNotice(u"未知生产地 出厂日期:1990年09月")}, // only blanks are trimmed
        // serial numbers
        {u"6831234567", withNotice(u"出厂日期:2010年6月")},
        {u"00123456", withNotice(u"出厂日期:2004年12月或2012年")},
        {u"-1234567", withNotice(u"出厂日期:2004年11月或2012年")},
        // full-width forms, as an input method in full-width mode types them
        {u"ＵＥ０９４５", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"ｕｅ０９４５", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"\u3000ＵＥ０９４５\u3000 ", withNotice(kUtsunomiya + u" 出厂日期:1990年09月")},
        {u"６８３１２３４５６７", withNotice(u"出厂日期:2010年6月")},
        {u"ＵＥ０９\u3000\u3000", kHint}, // four characters once trimmed
        {u"\u2003UE0945", kHint},         // other wide spaces are not blanks
        {u"AB123456", kApology},
        {u"UE094512", kApology},
        {u"\U0001F60012345678", kApology},
    };
    for (const auto& r : rows)
        EXPECT_EQ(query.Command1_Click(r.in), r.out) << toUtf8(r.in);
}

TEST_F(LensQueryTest, QueryKeepsTrimmedCodeAndResult) {
    query.Command1_Click(u"  UE0945 ");
    EXPECT_EQ(query.LensSN, u"UE0945");
    EXPECT_EQ(query.ResultText, withNotice(kUtsunomiya + u" 出厂日期:1990年09月"));

    query.Command1_Click(u"AB123456");
    EXPECT_EQ(query.LensSN, u"AB123456");
    EXPECT_EQ(query.ResultText, kApology);

    // Full-width forms are kept as ASCII, from U+FF01 to U+FF5E and no further
    // (U+FF61 is a half-width form).
    query.Command1_Click(u"\u3000！～\uFF00\uFF5F\uFF61\u3000");
    EXPECT_EQ(query.LensSN, u"!~\uFF00\uFF5F\uFF61");

    // A wrong length empties the result but still records the code.
    query.Command1_Click(u" UE09 ");
    EXPECT_EQ(query.LensSN, u"UE09");
    EXPECT_EQ(query.ResultText, u"");
}

TEST_F(LensQueryTest, LetterDateCodes) {
    const Row rows[] = {
        {u"UE0945", kUtsunomiya + u" 出厂日期:1990年09月"},
        {u"FX1234", u"日本福岛（Fukushima）工厂 出厂日期:2009年12月"},
        {u"ue0945", kUtsunomiya + u" 出厂日期:1990年09月"},
        {u"OF0501", u"日本大分（Oita）工厂 出厂日期:1991年05月"},
        {u"TE945", u"台湾工厂 出厂日期:1990年9月"},
        {u"SM0945", u"滋贺长浜工厂 出厂日期:1998年09月"},
        {u"MM0945", u"宮崎工厂 出厂日期:1998年09月"},
        {u"XE0945", u"未知生产地 出厂日期:1990年09月"},
        // year letters around the wrap: A..D come after Z
        {u"UA0112", kUtsunomiya + u" 出厂日期:2012年01月"},
        {u"UB0112", kUtsunomiya + u" 出厂日期:2013年01月"},
        {u"UD0112", kUtsunomiya + u" 出厂日期:2015年01月"},
        {u"UE0112", kUtsunomiya + u" 出厂日期:1990年01月"},
        {u"UZ0112", kUtsunomiya + u" 出厂日期:2011年01月"},
        // the month
        {u"UE1345", kUtsunomiya + u" 出厂日期:1990年1月"}, // 13 is not below 13
        {u"UE1245", kUtsunomiya + u" 出厂日期:1990年12月"},
        {u"UE0045", kUtsunomiya + u" 出厂日期:1990年00月"}, // no lower bound
        {u"UE0X45", kUtsunomiya + u" 出厂日期:1990年0月"},
        {u"UEX945", kUtsunomiya + u" 出厂日期:1990年"},
        {u"UE9945", kUtsunomiya + u" 出厂日期:1990年9月"},
        {u"UE-945", kUtsunomiya + u" 出厂日期:1990年"},
        {u"UE1 45", kUtsunomiya + u" 出厂日期:1990年1 月"}, // "1 " reads as 1
        {u"UE", kUtsunomiya + u" 出厂日期:1990年"},         // no month characters at all
        // unknown year letter
        {u"U10945", kUtsunomiya + u" 出厂日期未知"},
        {u"U[0945", kUtsunomiya + u" 出厂日期未知"},  // '[' is 91
        {u"U@0945", kUtsunomiya + u" 出厂日期未知"},  // '@' is 64
        {u"UＥ0945", kUtsunomiya + u" 出厂日期未知"}, // full-width E, a double-byte character
        {u"U한0945", kUtsunomiya + u" 出厂日期未知"}, // not in GBK: '?' is 63
        {u"123456", u"未知生产地 出厂日期未知"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(query.GetOldLens(r.in), r.out) << toUtf8(r.in);
        EXPECT_EQ(query.ResultText, r.out) << toUtf8(r.in);
    }
}

TEST_F(LensQueryTest, SerialNumbers) {
    const Row rows[] = {
        {u"0012345678", u"出厂日期:2004年12月或2012年"}, // n = 0, k = -1
        {u"0112345678", u"出厂日期:2005年1月或2012年"},  // -0.025 rounds to 0
        {u"0512345678", u"出厂日期:2005年5月或2012年"},  // k = 4, still below 5
        {u"0612345678", u"出厂日期:2005年6月"},          // k = 5
        {u"0712345678", u"出厂日期:2005年7月"},
        {u"1212ABCDEF", u"出厂日期:2005年12月"},
        {u"12ABCDEF", u"出厂日期:2005年12月"}, // only the first two are read
        {u"1912345678", u"出厂日期:2006年7月"},
        {u"2012345678", u"出厂日期:2006年7月"}, // 18.5 exactly: tie goes to 18
        {u"5912345678", u"出厂日期:2009年10月"},
        {u"6012345678", u"出厂日期:2009年11月"}, // 57.5 exactly: tie goes to 58
        {u"6831234567", u"出厂日期:2010年6月"},
        {u"9912345678", u"出厂日期:2013年1月"},
        {u"-1234567", u"出厂日期:2004年11月或2012年"}, // n = -1, k = -2
        {u"-9234567", u"出厂日期:2004年3月或2012年"},  // the earliest: k = -10
        {u"+5123456", u"出厂日期:2005年5月或2012年"},
        {u" 7123456", u"出厂日期:2005年7月"},
        {u".5123456", u"出厂日期:2004年12月或2012年"}, // 0.5 rounds to 0
        {u"1.123456", u"出厂日期:2005年1月或2012年"},
        {u"AB123456", u""},
        {u"UE094512", u""},
        {u"  123456", u""},
        {u"1A123456", u""},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(query.GetNewLens(r.in), r.out) << toUtf8(r.in);
        EXPECT_EQ(query.ResultText, r.out) << toUtf8(r.in);
    }
}

TEST_F(LensQueryTest, EveryTwoCharacterPrefixIsSafe) {
    // Any printable ASCII pair, and a few outside ASCII, as the first two
    // characters of a serial and as the letters of a date code.
    Text alphabet;
    for (char16_t c = 0x20; c < 0x7F; ++c)
        alphabet += c;
    alphabet += u"０Ｅ中€\u3000";
    alphabet += char16_t(0xD800);
    // A date code's answer: a factory, one blank, and either no date or a
    // year the letters can stand for with the month the digits give.
    const std::set<Text> factories = {u"日本宇都宫（Utsunomiya）工厂",
                                      u"日本福岛（Fukushima）工厂",
                                      u"日本大分（Oita）工厂",
                                      u"台湾工厂",
                                      u"滋贺长浜工厂",
                                      u"宮崎工厂",
                                      u"未知生产地"};
    // The year of a sound date part, 0 for "no date", -1 for anything else.
    auto yearOf = [](TextView date) {
        if (date == u"出厂日期未知")
            return 0;
        if (date.size() != 13 || !date.starts_with(u"出厂日期:") || !date.ends_with(u"年09月"))
            return -1;
        const std::string year = toUtf8(date.substr(5, 4));
        return year.find_first_not_of("0123456789") == std::string::npos ? std::stoi(year) : -1;
    };
    std::set<int> years; // the 26 letters name 1990 to 2015, one year each
    for (char16_t a : alphabet) {
        for (char16_t b : alphabet) {
            const Text serial = Text{a, b} + u"345678";
            const Text answer = query.GetNewLens(serial);
            ASSERT_TRUE(answer.empty() || answer.starts_with(u"出厂日期:")) << toUtf8(serial);
            const Text oldCode = Text{a, b} + u"0945";
            const Text old = query.GetOldLens(oldCode);
            const std::size_t blank = old.find(u' ');
            ASSERT_NE(blank, Text::npos) << toUtf8(oldCode);
            EXPECT_EQ(factories.count(old.substr(0, blank)), 1u) << toUtf8(oldCode);
            const int year = yearOf(TextView(old).substr(blank + 1));
            EXPECT_GE(year, 0) << toUtf8(oldCode) << ": " << toUtf8(old);
            if (year > 0)
                years.insert(year);
        }
    }
    ASSERT_EQ(years.size(), 26u);
    EXPECT_EQ(*years.begin(), 1990);
    EXPECT_EQ(*years.rbegin(), 2015);
}

TEST_F(LensQueryTest, IsNumber) {
    struct Case {
        Value v;
        bool numeric;
    };
    const Case cases[] = {
        {Text(u"09"), true},     {Text(u"9"), true},        {Text(u" 7 "), true},
        {Text(u"1.06"), true},   {Text(u"-1"), true},       {1.5, true},
        {std::int16_t(3), true}, {Text(u""), false},        {Text(u"  "), false},
        {Null{}, false},         {std::monostate{}, false}, {Text(u"0A"), false},
        {Text(u"X"), false},     {Text(u"1,06"), false},    {Text(u"１"), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(query.isNumber(c.v), c.numeric) << c.v.index();
}

TEST_F(LensQueryTest, Null2IntOverwritesWhatIsNotANumber) {
    struct Case {
        Value in;
        double result;
        Value after;
    };
    const Case cases[] = {
        {Null{}, 0, Text(u"0")},
        {std::monostate{}, 0, Text(u"0")},
        {Text(u"abc"), 0, Text(u"0")},
        {Text(u""), 0, Text(u"0")},
        {Text(u"   "), 0, Text(u"0")},
        {Text(u"1.06"), 1.06, Text(u"1.06")},
        {Text(u"2"), 2, Text(u"2")},
        {Text(u" 1.10 "), 1.1, Text(u" 1.10 ")},
        {Text(u"1e308"), 1e308, Text(u"1e308")},
        {2.5, 2.5, 2.5},
    };
    for (const auto& c : cases) {
        Value v = c.in;
        const Value r = query.Null2Int(v);
        ASSERT_TRUE(std::holds_alternative<double>(r)) << c.in.index();
        EXPECT_EQ(std::get<double>(r), c.result) << c.in.index();
        EXPECT_EQ(v, c.after) << c.in.index();
    }
}
