// GBK on code page 936, whatever the system's ANSI code page: what only the
// Windows table shows. The codes of single characters are the portable
// platform_test's, which runs here under both system locales.
#include "platform/ansi.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace pelvoran;

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
