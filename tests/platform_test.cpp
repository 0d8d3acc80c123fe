#include "platform/ansi.h"
#include "platform/hex.h"
#include "platform/numeric.h"
#include "platform/regional.h"
#include "platform/reply_secret.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "tests/support/gbk_user_defined.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <optional>

using namespace pelvoran;

// Private-use characters are where the platforms' GBK tables differ
// (tests/support/gbk_user_defined.h): those rows give both codes.
TEST(AnsiCode, GivesSignedGbkCodes) {
    struct Case {
        char16_t c;
        int code;
        std::optional<int> userDefinedCode = std::nullopt;
    };
    const Case cases[] = {
        {u'A', 65},
        {u'z', 122},
        {u'\0', 0},
        {u'\x7F', 127},
        {u'€', 128},             // the one single-byte character above ASCII
        {u'啊', -20319},         // B0 A1
        {u'中', -10544},         // D6 D0
        {u'é', -22362},          // A8 A6
        {u'Ｅ', -23611},         // full-width E, A3 C5
        {u'\u3000', -24159},     // ideographic space, A1 A1
        {u'镜', -16715},         // BE B5
        {u'한', 63},             // not in GBK
        {u'\uE000', 63, -21855}, // private use: AA A1
        {u'\uE4C6', 63, -24256}, // A1 40
        {u'\uE864', 63, -352},   // FE A0
        {u'\uE865', 63},         // private use that no table has
        {u'\uF8FF', 63},
        {u'\uFFFD', 63},
        {char16_t(0xD800), 63}, // high surrogate half
        {char16_t(0xDBFF), 63},
        {char16_t(0xDC00), 63}, // low surrogate half
    };
    for (const auto& c : cases) {
        const bool userDefined = test::kGbkHasUserDefinedCodes && c.userDefinedCode;
        EXPECT_EQ(AnsiCode(c.c), userDefined ? *c.userDefinedCode : c.code)
            << "U+" << std::hex << int(c.c);
    }
}

TEST(AnsiCode, FailureDoesNotSpoilTheNextCharacter) {
    EXPECT_EQ(AnsiCode(u'한'), 63);
    EXPECT_EQ(AnsiCode(u'啊'), -20319);
    EXPECT_EQ(AnsiCode(char16_t(0xD83D)), 63);
    EXPECT_EQ(AnsiCode(u'中'), -10544);
}

TEST(AnsiCode, EveryDoubleByteCodeIsInGbkRange) {
    // Lead 0x81..0xFE and trail 0x40..0xFE without 0x7F, read as signed.
    for (char32_t c = 0x80; c < 0x10000; ++c) {
        const int code = AnsiCode(static_cast<char16_t>(c));
        if (code < 0) {
            const int n = code + 65536;
            const int lead = n >> 8, trail = n & 0xFF;
            ASSERT_TRUE(lead >= 0x81 && lead <= 0xFE) << std::hex << int(c);
            ASSERT_TRUE(trail >= 0x40 && trail <= 0xFE && trail != 0x7F) << std::hex << int(c);
        } else {
            // Code page 936 also has one private-use character as the byte FF.
            const bool userDefinedByte =
                test::kGbkHasUserDefinedCodes && c >= 0xE000 && c <= 0xF8FF && code == 0xFF;
            ASSERT_TRUE(code == 63 || code == 128 || userDefinedByte)
                << std::hex << int(c) << " " << code;
        }
    }
}

TEST(AnsiChar, SingleBytes) {
    EXPECT_EQ(AnsiChar(0x00), u'\0');
    EXPECT_EQ(AnsiChar(0x41), u'A');
    EXPECT_EQ(AnsiChar(0x7F), u'\x7F');
    EXPECT_EQ(AnsiChar(0x80), u'€');
    for (int b : {0x81, 0xA1, 0xB0, 0xD6, 0xFE})
        EXPECT_EQ(AnsiChar(static_cast<std::uint8_t>(b)), kAnsiCharReplacement) << b;
    // Windows reads FF as the private-use U+F8F5; wine and glibc have nothing.
    const char16_t ff = AnsiChar(0xFF);
    EXPECT_TRUE(ff == kAnsiCharReplacement || (test::kGbkHasUserDefinedCodes && ff == u'\uF8F5'))
        << int(ff);
}

TEST(Text, TrimRemovesBlanksOnly) {
    EXPECT_EQ(trimBlanks(u"  a b  "), u"a b");
    EXPECT_EQ(trimBlanks(u"\ta\t"), u"\ta\t");
    EXPECT_EQ(trimBlanks(u"\u3000a"), u"\u3000a");
    EXPECT_EQ(trimBlanks(u"   "), u"");
    EXPECT_EQ(trimBlanks(u""), u"");
}

TEST(Text, Utf8RoundTripAndRejects) {
    EXPECT_EQ(fromUtf8("中A"), Text(u"中A"));
    EXPECT_EQ(fromUtf8("\xF0\x9F\x98\x80"), Text(u"\U0001F600"));
    EXPECT_EQ(toUtf8(u"\U0001F600中"), "\xF0\x9F\x98\x80\xE4\xB8\xAD");
    EXPECT_EQ(toUtf8(Text(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD"
                                                        "a");
    EXPECT_EQ(toUtf8(Text(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    const char* invalid[] = {
        "\xC0\x80",         // overlong NUL
        "\xE0\x80\xAF",     // overlong '/'
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // above U+10FFFF
        "\xE4\xB8",         // truncated at the end
        ("\xE4\xB8"
         "a"),  // truncated in the middle
        "\x80", // lone continuation byte
        "\xFF",
    };
    for (const char* s : invalid)
        EXPECT_FALSE(fromUtf8(s).has_value()) << s;
}

TEST(Hex, DigitsAndWidths) {
    struct Case {
        unsigned long value;
        std::size_t width;
        HexCase letters;
        std::string text;
    };
    const Case cases[] = {
        {0, 0, HexCase::Upper, "0"},
        {0, 2, HexCase::Upper, "00"},
        {0x7F, 4, HexCase::Lower, "007f"},
        {0xAB, 2, HexCase::Upper, "AB"},
        {0x12345, 4, HexCase::Lower, "12345"}, // never cut to the width
        {0xFFFFFFFFul, 0, HexCase::Upper, "FFFFFFFF"},
    };
    for (const auto& c : cases) {
        std::string narrow;
        appendHex(narrow, c.value, c.width, c.letters);
        EXPECT_EQ(narrow, c.text) << c.value;
        Text wide;
        appendHex(wide, c.value, c.width, c.letters);
        EXPECT_EQ(toUtf8(wide), c.text) << c.value;
    }
    int digits = 0; // 0-9, A-F and a-f, and nothing else below U+0200
    for (char32_t c = 0; c < 0x200; ++c) {
        const int value = hexDigitValue(c);
        if (value < 0)
            continue;
        ++digits;
        EXPECT_EQ(std::toupper(hexDigit(static_cast<unsigned>(value))),
                  std::toupper(static_cast<int>(c)));
    }
    EXPECT_EQ(digits, 22);
    EXPECT_EQ(hexDigitValue(U'\uFF10'), -1); // a full-width digit is no digit
}

TEST(Hex, PercentEscapes) {
    const auto keepLetters = [](unsigned char b) { return b >= 'a' && b <= 'z'; };
    EXPECT_EQ(percentEncode(std::string("ab c\0\xFF%", 7), keepLetters), "ab%20c%00%FF%25");
    struct Case {
        std::string text;
        std::size_t at;
        int byte;
    };
    const Case cases[] = {
        {"%41", 0, 0x41}, {"x%fF", 1, 0xFF}, {"%4", 0, -1},  {"%4G", 0, -1},
        {"%41", 1, -1},   {"%41", 9, -1},    {"%+1", 0, -1}, {"%\xEF\xBC\x91", 0, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(percentEscapedByte(c.text, c.at), c.byte) << c.text << " at " << c.at;
}

TEST(ToInt16, RoundsHalfToEvenAndSaturates) {
    struct Case {
        double in;
        int out;
    };
    const Case cases[] = {
        {0.5, 0},         {1.5, 2},           {2.5, 2},
        {-0.5, 0},        {-1.5, -2},         {18.5, 18},
        {57.5, 58},       {17.525, 18},       {-0.025, 0},
        {65.3, 65},       {1e308, 32767},     {-1e308, -32768},
        {32767.5, 32767}, {-32768.5, -32768}, {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(toInt16(c.in), c.out) << c.in;
}

TEST(Regional, ParsesNumbersLikeTheLocale) {
    const auto zh = RegionalSettings::zhCN();
    struct Case {
        const char16_t* text;
        std::optional<double> value;
    };
    const Case cases[] = {
        {u"09", 9},   {u"9", 9},     {u" 7 ", 7},    {u"1.06", 1.06},    {u"-1", -1},  {u"+5", 5},
        {u"1.", 1},   {u".5", 0.5},  {u"1e3", 1000}, {u"1E+308", 1e308}, {u"", {}},    {u"  ", {}},
        {u"0A", {}},  {u"X", {}},    {u"1,06", {}},  {u"1.0.6", {}},     {u"-", {}},   {u".", {}},
        {u"- 1", {}}, {u"1e", {}},   {u"1e400", {}}, {u"NaN", {}},       {u"inf", {}}, {u"１", {}},
        {u"\t1", {}}, {u"0x10", {}}, {u"1 2", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zh.parseNumber(c.text), c.value) << toUtf8(c.text);

    const RegionalSettings comma(u',', u"%d.%m.%Y", u"%H:%M:%S", u"", u"");
    EXPECT_EQ(comma.parseNumber(u"1,06"), 1.06);
    EXPECT_EQ(comma.parseNumber(u"1.06"), std::nullopt);
    EXPECT_EQ(comma.formatNumber(1.05), u"1,05");
}

TEST(Regional, FormatsNumbers) {
    const auto zh = RegionalSettings::zhCN();
    EXPECT_EQ(zh.formatNumber(1.05), u"1.05");
    EXPECT_EQ(zh.formatNumber(1.10), u"1.1");
    EXPECT_EQ(zh.formatNumber(2.0), u"2");
    EXPECT_EQ(zh.formatNumber(-0.0), u"0");
    EXPECT_EQ(zh.formatNumber(0.1 + 0.2), u"0.3");
    EXPECT_EQ(zh.formatNumber(-3.25), u"-3.25");
    EXPECT_EQ(zh.formatNumber(1e308), u"1E+308");
}

TEST(Regional, FormatsDateTimes) {
    const auto zh = RegionalSettings::zhCN();
    EXPECT_EQ(zh.formatDateTime({2026, 12, 7, 5, 2, 3}), u"2026/12/7 5:02:03");
    EXPECT_EQ(zh.formatDateTime({2026, 12, 7, 0, 0, 0}), u"2026/12/7");
    EXPECT_EQ(zh.formatDateTime({2026, 1, 5, 0, 0, 1}), u"2026/1/5 0:00:01");
    EXPECT_EQ(zh.formatDateTime({2026, 1, 5, 23, 59, 0}), u"2026/1/5 23:59:00");

    const RegionalSettings us(u'.', u"%m/%d/%y", u"%I:%M:%S %p", u"AM", u"PM");
    EXPECT_EQ(us.formatDateTime({2026, 1, 5, 13, 4, 5}), u"01/05/26 01:04:05 PM");
    EXPECT_EQ(us.formatDateTime({2026, 1, 5, 0, 30, 0}), u"01/05/26 12:30:00 AM");
}

TEST(Regional, UnknownOrUnfinishedDirectivesRenderAsNothing) {
    const auto zh = RegionalSettings::zhCN();
    const LocalDateTime t{2026, 12, 7, 5, 2, 3};
    EXPECT_EQ(zh.formatPattern(u"a%qb%Jc%", t), u"abc");
    EXPECT_EQ(zh.formatPattern(u"%-", t), u"");
    EXPECT_EQ(zh.formatPattern(u"%5", t), u"");
    EXPECT_EQ(zh.formatPattern(u"%E", t), u"");
    EXPECT_EQ(zh.formatPattern(u"%99999999999d|", t), Text(1024 - 1, u'0') + u"7|");
    // A pattern that stands for itself ends instead of recursing for ever.
    const RegionalSettings loop(u'.', u"%x-", u"%X", u"", u"");
    EXPECT_EQ(loop.formatDateTime(t), u"----- ");
}

// The digest (the platform library's) and the encoding of reply keys,
// against published vectors.
TEST(ReplySecret, Sha256AndBase64Url) {
    struct Case {
        std::string bytes;
        std::string base64url;
    };
    const Case cases[] = {
        // SHA-256 of "", "abc" and of the two-block message of FIPS 180-2.
        {sha256(""), "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU"},
        {sha256("abc"), "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0"},
        {sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "JI1qYdIGOLjlwCaTDD5gOaM85Flk_yFn9uzt1BnbBsE"},
        {"", ""},
        {"f", "Zg"},
        {"fo", "Zm8"},
        {"foo", "Zm9v"},
        {"\xfb\xff", "-_8"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encodeBase64Url(c.bytes), c.base64url);
}
