// GBK on code page 936, whatever the system's ANSI code page.
#include "platform/ansi.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace pelvoran;

TEST(AnsiWin, CodesAreGbkWhateverTheSystemCodePage) {
    struct Case {
        char16_t c;
        int code;
    };
    const Case cases[] = {
        {u'A', 65},
        {u'\x7F', 127},
        {u'€', 128},
        {u'啊', -20319},
        {u'中', -10544},
        {u'é', -22362},
        {u'Ｅ', -23611},
        {u'\u3000', -24159},
        {u'镜', -16715},
        {u'한', 63},
        {u'\uFFFD', 63},
        {char16_t(0xD800), 63},
        {char16_t(0xDFFF), 63},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnsiCode(c.c), c.code) << "U+" << std::hex << int(c.c) << " ACP " << GetACP();
}

TEST(AnsiWin, PrivateUseAreaFollowsThePlatformTable) {
    // Code page 936 maps U+E000 to the user-defined code AA A1; glibc has no
    // character there. Either is right, nothing else is.
    const int code = AnsiCode(u'\uE000');
    EXPECT_TRUE(code == 63 || code == 0xAAA1 - 65536) << code;
}

TEST(AnsiWin, FailureDoesNotSpoilTheNextCharacter) {
    EXPECT_EQ(AnsiCode(u'한'), 63);
    EXPECT_EQ(AnsiCode(u'啊'), -20319);
    EXPECT_EQ(AnsiCode(char16_t(0xD83D)), 63);
    EXPECT_EQ(AnsiCode(u'中'), -10544);
}

TEST(AnsiWin, SingleBytes) {
    EXPECT_EQ(AnsiChar(0x41), u'A');
    EXPECT_EQ(AnsiChar(0x00), u'\0');
    EXPECT_EQ(AnsiChar(0x80), u'€');
    for (int b : {0x81, 0xA1, 0xB0, 0xD6, 0xFE})
        EXPECT_EQ(AnsiChar(static_cast<std::uint8_t>(b)), kAnsiCharReplacement) << b;
}

TEST(AnsiWin, ByteTextsKeepWhatFollowsABadSequence) {
    struct Case {
        std::string bytes;
        bool gb18030;
        Text text;
    };
    const Case cases[] = {
        {"\xD6\xD0\xB9\xFA", false, u"中国"},
        {"a\xFF"
         "b\xD6",
         false, u"a\uFFFDb\uFFFD"},
        {"\xD6"
         "0x",
         false, u"\uFFFD0x"}, // an invalid pair must not swallow the "0"
        {"\x81\x7F"
         "A",
         false,
         u"\uFFFD\x7F"
         u"A"},
        {"\xD6\xD0\xD6", false, u"中\uFFFD"},
        {"\x95\x32\x82\x36", true, u"\U00020000"},
        {"\xD6\xD0\x81\x30", true, u"中\uFFFD0"},
        {std::string("a\0b", 3), false, Text(u"a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(gbkToText(c.bytes, c.gb18030), c.text) << c.bytes;
}

TEST(AnsiWin, Gb18030InsideTheBmpWhereTheSystemHasTheTable) {
    // Wine has no code page 54936; Windows has.
    const Text text = gbkToText("\x81\x30\x81\x30", true);
    EXPECT_EQ(text, IsValidCodePage(54936) ? Text(u"\u0080") : Text(u"\uFFFD0\uFFFD0"));
}

TEST(AnsiWin, EveryCharacterRoundTripsThroughItsCode) {
    // Each double-byte code read back as bytes gives the character again.
    int doubleBytes = 0;
    for (char32_t c = 0x80; c < 0x10000; ++c) {
        const int code = AnsiCode(static_cast<char16_t>(c));
        if (code >= 0) {
            // Single bytes above ASCII: the euro sign, and in code page 936
            // the private-use character U+F8F5 as FF.
            ASSERT_TRUE(code == 63 || (c == 0x20AC && code == 128) || (c == 0xF8F5 && code == 255))
                << std::hex << int(c) << " " << code;
            continue;
        }
        ++doubleBytes;
        const int n = code + 65536;
        const char bytes[2] = {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
        ASSERT_EQ(gbkToText(std::string(bytes, 2)), Text(1, static_cast<char16_t>(c)))
            << std::hex << int(c);
    }
    EXPECT_GT(doubleBytes, 20000); // GBK has 21886 double-byte characters
}
