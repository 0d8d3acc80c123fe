// The code query on any UTF-16 input: never fails, always says something,
// and an answer always carries the reference notice.
#include "decode/lens_query.h"
#include "fuzz/fuzz_input.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static pelvoran::LensQuery query(pelvoran::RegionalSettings::zhCN());
    const pelvoran::Text code = pelvoran::fuzz::asUtf16(data, size);
    const pelvoran::Text label = query.Command1_Click(code);
    if (label.empty())
        std::abort();
    const std::size_t length = query.LensSN.size();
    const bool decoded = length == 5 || length == 6 || length == 8 || length == 10;
    if (decoded != !query.ResultText.empty())
        std::abort();
    if ((length == 5 || length == 6) && !label.ends_with(pelvoran::query_text::kNotice))
        std::abort();
    return 0;
}
