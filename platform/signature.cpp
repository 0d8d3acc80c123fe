#include "platform/signature.h"

namespace pelvoran {

std::optional<std::string> decodeBase64Url(std::string_view text) {
    // Only the two characters that differ and the padding are ours to
    // handle; the decoding itself is the library's.
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string padded;
    padded.reserve(text.size() + 3);
    for (const char c : text) {
        const bool plain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (plain)
            padded += c;
        else if (c == '-')
            padded += '+';
        else if (c == '_')
            padded += '/';
        else
            return std::nullopt;
    }
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
