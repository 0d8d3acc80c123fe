#pragma once

// What a reply key is made of: a secret of 16 random bytes from the operating
// system, and base64url without padding to write it and its SHA-256
// (platform/signature.h).

#include <optional>
#include <string>
#include <string_view>

namespace pelvoran {

/// The bytes of a secret.
inline constexpr std::size_t kSecretBytes = 16;

/// 16 bytes from the operating system's random source, or nullopt where the
/// tool draws none (it then keeps no key and the post goes out as before).
std::optional<std::string> drawSecret();

/// Base64url without padding (A-Z a-z 0-9 - _).
std::string encodeBase64Url(std::string_view bytes);

} // namespace pelvoran
