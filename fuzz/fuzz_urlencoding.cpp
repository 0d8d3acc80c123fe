// URLEncoding: accepts every text; what comes out holds no double-byte GBK
// character, and a text without one comes out unchanged.
#include "platform/ansi.h"
#include "net/escaping.h"
#include "fuzz/fuzz_input.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const pelvoran::Text in = pelvoran::fuzz::asUtf16(data, size);
    const pelvoran::Text out = pelvoran::URLEncoding(in);
    bool anyDoubleByte = false;
    for (const char16_t c : in)
        anyDoubleByte |= pelvoran::AnsiCode(c) < 0;
    for (const char16_t c : out)
        if (pelvoran::AnsiCode(c) < 0)
            std::abort();
    if (!anyDoubleByte && out != in)
        std::abort();
    if (out.size() < in.size())
        std::abort();
    return 0;
}
