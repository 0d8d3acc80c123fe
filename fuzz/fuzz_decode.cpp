// Decode: any text either decodes or fails with a type mismatch, and every
// escape only ever shortens the text.
#include "fuzz/fuzz_input.h"
#include "net/escaping.h"
#include "platform/errors.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const pelvoran::Text in = pelvoran::fuzz::asUtf16(data, size);
    try {
        const pelvoran::Text out = pelvoran::Decode(in);
        if (out.size() > in.size())
            std::abort();
        if (in.find(u'%') == pelvoran::Text::npos && out != in)
            std::abort();
    } catch (const pelvoran::StepError& e) {
        if (e.number() != pelvoran::kTypeMismatch)
            std::abort();
    }
    return 0;
}
