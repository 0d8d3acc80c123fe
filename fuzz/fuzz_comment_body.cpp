// The server's reading of a comment body: any bytes decode without a crash
// to a text with no CR and no NUL, never longer than the value; and whatever
// the desktop tool encodes from ASCII, ideographs and characters beyond the
// BMP comes back exactly.
#include "net/escaping.h"
#include "server/comments/comment_decoding.h"

#include <cstdlib>
#include <string>

using pelvoran::Text;

namespace {

/// Fuzzer bytes as a comment the round trip must survive: printable ASCII,
/// CJK ideographs (all in GBK) and characters beyond the BMP.
Text roundTripText(const std::uint8_t* data, std::size_t size) {
    Text t;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const unsigned v = data[i] | (unsigned{data[i + 1]} << 8);
        switch (v % 3) {
        case 0: t += static_cast<char16_t>(0x20 + v / 3 % 0x5F); break;
        case 1: t += static_cast<char16_t>(0x4E00 + v / 3 % 0x51A6); break;
        default: {
            const unsigned c = 0x10000 + v / 3 * 37;
            t += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            t += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
        }
    }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    const auto text = pelvoran::server::decodeDesktopComment("CommentText=" + value);
    if (!text || text->size() > value.size() || text->find_first_of(u"\r") != Text::npos ||
        text->find(u'\0') != Text::npos)
        std::abort();

    const Text typed = roundTripText(data, size);
    const std::string body = "CommentText=" + pelvoran::toUtf8(pelvoran::URLEncoding(typed));
    if (pelvoran::server::decodeDesktopComment(body) != typed)
        std::abort();
    return 0;
}
