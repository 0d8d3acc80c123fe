// URLEncoding: accepts every text; what comes out is pure ASCII, never holds
// a raw "&", "=" or "+", and an ASCII text without "&", "=", "+" and "%"
// comes out unchanged.
#include "fuzz/fuzz_input.h"
#include "net/escaping.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const pelvoran::Text in = pelvoran::fuzz::asUtf16(data, size);
    const pelvoran::Text out = pelvoran::URLEncoding(in);
    bool plain = true;
    for (const char16_t c : in)
        plain &= c < 0x80 && c != u'&' && c != u'=' && c != u'+' && c != u'%';
    for (const char16_t c : out)
        if (c >= 0x80 || c == u'&' || c == u'=' || c == u'+')
            std::abort();
    if (plain && out != in)
        std::abort();
    if (out.size() < in.size())
        std::abort();
    return 0;
}
