#include "server/support/digest.h"

#include "platform/hex.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace pelvoran::server {

std::string sha256Hex(std::string_view bytes) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), raw, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("无法计算 SHA-256 摘要（OpenSSL）");
    std::string hex;
    for (unsigned int i = 0; i < size; ++i)
        appendHex(hex, raw[i], 2, HexCase::Lower);
    return hex;
}

} // namespace pelvoran::server
