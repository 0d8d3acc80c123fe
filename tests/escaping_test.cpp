#include "net/escaping.h"
#include "platform/ansi.h"
#include "platform/errors.h"
#include "tests/support/gbk_user_defined.h"

#include <gtest/gtest.h>

#include <optional>

using namespace pelvoran;

// What a standard form decoder on the server gets back depends on these
// bytes: the four form characters escaped, GBK bytes escaped, nothing but ASCII.
// A private-use character is the one place where the platforms' GBK tables
// differ (tests/support/gbk_user_defined.h): those rows give both answers.
TEST(URLEncoding, WritesAPureAsciiFormValue) {
    struct Case {
        Text in;
        Text out;
        std::optional<Text> outWithUserDefinedCodes = std::nullopt;
    };
    const Case cases[] = {
        {u"", u""},
        {u"abc", u"abc"},
        {u"a&b=c", u"a%26b%3Dc"},
        {u"50% off+1", u"50%25 off%2B1"},
        {u"%41", u"%2541"},
        {u"  hi  ", u"  hi  "},             // a blank is never "+"
        {u"?#;/:@!*'()~", u"?#;/:@!*'()~"}, // other ASCII as it is
        {u"\r\n", u"\r\n"},
        {Text(u"\0\x01\x7F", 3), Text(u"\0\x01\x7F", 3)},
        {u"啊", u"%B0%A1"},
        {u"中", u"%D6%D0"},
        {u"镜头 OK", u"%BE%B5%CD%B7 OK"},
        {u"镜头很好", u"%BE%B5%CD%B7%BA%DC%BA%C3"},
        {u"é", u"%A8%A6"},
        {u"\u3000", u"%A1%A1"},
        {u"丂", u"%81%40"}, // the first double-byte code: lead 0x81
        {u"齄", u"%F7%FE"},
        {u"€", u"%80"},                      // one GBK byte
        {u"한", u"%26%2354620%3B"},          // GBK lacks it: &#54620;
        {u"\U0001F600", u"%26%23128512%3B"}, // a surrogate pair is one character
        {u"a\U0001F600b", u"a%26%23128512%3Bb"},
        {u"\uE000", u"%26%2357344%3B", u"%AA%A1"}, // private use
        {u"\uE4C6", u"%26%2358566%3B", u"%A1%40"},
        {u"\uF8FF", u"%26%2363743%3B"},              // private use that no table has
        {Text(1, char16_t(0xD83D)), u"%3F"},         // lone high half
        {Text(1, char16_t(0xDE00)) + u"x", u"%3Fx"}, // lone low half
        {Text{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, u"%3F%26%23128512%3B"},
    };
    for (const auto& c : cases) {
        const Text out = URLEncoding(c.in);
        const bool userDefined = test::kGbkHasUserDefinedCodes && c.outWithUserDefinedCodes;
        EXPECT_EQ(out, userDefined ? *c.outWithUserDefinedCodes : c.out) << toUtf8(c.in);
        for (const char16_t ch : out)
            EXPECT_LT(ch, 0x80) << toUtf8(c.in);
    }
}

TEST(Decode, RemovesEscapes) {
    struct Case {
        Text in;
        Text out;
    };
    const Case cases[] = {
        {u"", u""},
        {u"plain text", u"plain text"},
        {u"%u4E2D%41", u"中A"},
        {u"%U4e2d", u"中"},
        {u"a%20b", u"a b"},
        {u"a+b", u"a+b"},
        {u"%2541", u"%41"}, // decoded characters are not scanned again
        {u"%u41", u"A"},    // a short escape at the end
        {u"x%4", Text(u"x") + char16_t(4)},
        {u"%B0%A1", Text{AnsiChar(0xB0), AnsiChar(0xA1)}},
        {u"1.06[;]A[;]2012-12-30[;]%u4FEE%u6B63", u"1.06[;]A[;]2012-12-30[;]修正"},
        {u"%5B%3B%5D", u"[;]"},
        {u"%80", u"€"},
        {u"%uD83D%uDE00", u"\U0001F600"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(c.in), c.out) << toUtf8(c.in);
}

TEST(Decode, MalformedEscapeIsATypeMismatch) {
    const Text bad[] = {u"100%",  u"%",       u"%u",     u"a%U",    u"%zz",
                        u"%4%41", u"%u41%42", u"%u12G4", u"ok %g0", u"% 1"};
    for (const auto& s : bad) {
        try {
            Decode(s);
            ADD_FAILURE() << "no error for " << toUtf8(s);
        } catch (const StepError& e) {
            EXPECT_EQ(e.number(), kTypeMismatch) << toUtf8(s);
        }
    }
}
