#include "platform/signature.h"

namespace pelvoran {

std::optional<std::string> decodeBase64Url(std::string_view text) {
    // Only the two characters that differ and the padding are ours to
    // handle; the decoding itself is the library's.
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string padded;
    padded.reserve(text.size() + 3);
    unsigned last = 0; // the value of the last character, 0 to 63
    for (const char c : text) {
        if (c >= 'A' && c <= 'Z')
            last = static_cast<unsigned>(c - 'A');
        else if (c >= 'a' && c <= 'z')
            last = static_cast<unsigned>(c - 'a') + 26;
        else if (c >= '0' && c <= '9')
            last = static_cast<unsigned>(c - '0') + 52;
        else if (c == '-')
            last = 62;
        else if (c == '_')
            last = 63;
        else
            return std::nullopt;
        padded += c == '-' ? '+' : c == '_' ? '/' : c;
    }
    // The bits of the last character past the last whole byte must be zero:
    // otherwise several texts would stand for one key or signature.
    const unsigned spare = text.size() % 4 == 2 ? 0xF : text.size() % 4 == 3 ? 0x3 : 0;
    if ((last & spare) != 0)
        return std::nullopt;
    const std::size_t missing = (4 - padded.size() % 4) % 4;
    padded.append(missing, '=');
    auto bytes = signature_detail::decodeBase64(padded);
    if (!bytes || bytes->size() != text.size() * 3 / 4)
        return std::nullopt;
    return bytes;
}

namespace {

std::optional<std::string> publicPoint(std::string_view publicKeyText) {
    auto point = decodeBase64Url(publicKeyText);
    if (!point || point->size() != signature_detail::kPointBytes || (*point)[0] != '\x04')
        return std::nullopt;
    return point;
}

} // namespace

bool releaseSignatureValid(std::string_view publicKeyText, std::string_view message,
                           std::string_view signatureText) {
    if (!signatureText.starts_with(kSignaturePrefix))
        return false;
    const auto point = publicPoint(publicKeyText);
    const auto rs = decodeBase64Url(signatureText.substr(kSignaturePrefix.size()));
    if (!point || !rs || rs->size() != signature_detail::kSignatureBytes)
        return false;
    return signature_detail::verifyP256(*point, message, *rs);
}

bool publicKeyValid(std::string_view publicKeyText) {
    const auto point = publicPoint(publicKeyText);
    return point && signature_detail::pointOnCurve(*point);
}

} // namespace pelvoran
