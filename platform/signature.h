#pragma once

// ECDSA P-256 with SHA-256, as the publisher signs an update offer, checked
// by the system's own library (OpenSSL's libcrypto, Windows' CNG). Keys and
// signatures are written in base64url without padding, so that they pass a
// shell and the update reply's unescaping unchanged.

#include <optional>
#include <string>
#include <string_view>

namespace pelvoran {

/// What a signature text starts with: the form of what follows.
inline constexpr std::string_view kSignaturePrefix = "sig1:";

/// Base64url without padding: only A-Z a-z 0-9 - _, a length that some
/// whole number of bytes gives, and the last character's bits beyond the
/// last byte zero (one text for each byte string). The bytes; nullopt for
/// anything else.
std::optional<std::string> decodeBase64Url(std::string_view text);

/// True when `signatureText` ("sig1:" + base64url of r ‖ s, 64 bytes) is a
/// signature of the SHA-256 of `message` by the key `publicKeyText`
/// (base64url of the uncompressed point 0x04 ‖ X ‖ Y, 65 bytes). Anything
/// malformed is simply not valid.
bool releaseSignatureValid(std::string_view publicKeyText, std::string_view message,
                           std::string_view signatureText);

/// True when `publicKeyText` is written as releaseSignatureValid takes it
/// and names a point of the curve.
bool publicKeyValid(std::string_view publicKeyText);

/// The 32 bytes of the SHA-256 of `bytes`, by the platform's library;
/// empty in the unlikely case the library fails.
std::string sha256(std::string_view bytes);

namespace signature_detail {

inline constexpr std::size_t kPointBytes = 65;
inline constexpr std::size_t kSignatureBytes = 64;

/// The base64 decoder of the platform: standard alphabet with padding in,
/// the bytes out; nullopt when the library refuses it.
std::optional<std::string> decodeBase64(const std::string& padded);

/// True when the library takes the 65 bytes as a point of P-256.
bool pointOnCurve(const std::string& point);

/// Checks by the platform's library; the lengths are checked already.
bool verifyP256(const std::string& point, std::string_view message, const std::string& rs);

} // namespace signature_detail
} // namespace pelvoran
