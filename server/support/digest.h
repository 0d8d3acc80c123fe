#pragma once

#include <string>
#include <string_view>

namespace pelvoran::server {

/// SHA-256 of `bytes`, in lower-case hex (OpenSSL's libcrypto).
std::string sha256Hex(std::string_view bytes);

} // namespace pelvoran::server
