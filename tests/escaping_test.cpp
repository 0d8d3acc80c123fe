#include "platform/ansi.h"
#include "platform/errors.h"
#include "net/escaping.h"

#include <gtest/gtest.h>

using namespace pelvoran;

TEST(URLEncoding, EscapesOnlyDoubleByteGbkCharacters) {
    struct Case {
        Text in;
        Text out;
    };
    const Case cases[] = {
        {u"", u""},
        {u"abc", u"abc"},
        {u"a&b=c", u"a&b=c"},
        {u"50% off", u"50% off"},
        {u"a+b ?#", u"a+b ?#"},
        {u"\r\n", u"\r\n"},
        {u"啊", u"%B0%A1"},
        {u"中", u"%D6%D0"},
        {u"镜头 OK", u"%BE%B5%CD%B7 OK"},
        {u"镜头很好", u"%BE%B5%CD%B7%BA%DC%BA%C3"},
        {u"é", u"%A8%A6"},
        {u"€", u"€"},                   // a single GBK byte (0x80): passes
        {u"한", u"한"},                 // GBK lacks it: passes unescaped
        {u"\U0001F600", u"\U0001F600"}, // surrogate halves pass
        {u"\u3000", u"%A1%A1"},
        {u"丂", u"%81%40"}, // the first double-byte code: lead 0x81
        {u"齄", u"%F7%FE"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(URLEncoding(c.in), c.out) << toUtf8(c.in);
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
