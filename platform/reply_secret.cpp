#include "platform/reply_secret.h"

#include <cstdint>

namespace pelvoran {

std::string encodeBase64Url(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    std::uint32_t bits = 0;
    int held = 0;
    for (const char c : bytes) {
        bits = (bits << 8) | static_cast<unsigned char>(c);
        held += 8;
        while (held >= 6) {
            held -= 6;
            text += kAlphabet[(bits >> held) & 0x3F];
        }
    }
    if (held > 0)
        text += kAlphabet[(bits << (6 - held)) & 0x3F];
    return text;
}

} // namespace pelvoran
