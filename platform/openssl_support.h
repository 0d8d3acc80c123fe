#pragma once

// What the code built on OpenSSL's libcrypto shares: owning handles for its
// objects, base64 (EVP_EncodeBlock) in its two alphabets, and random hex.

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/hex.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pelvoran::openssl {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;

/// Base64 with padding (RFC 4648 section 4), on one line.
inline std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

/// Base64url without padding (RFC 4648 section 5).
inline std::string base64Url(std::string_view bytes) {
    std::string out = base64(bytes);
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    for (char& c : out)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

/// `bytes` bytes from OpenSSL's generator (seeded by the kernel) as lower-case
/// hex: session tokens, message ids. Throws when the generator fails.
inline std::string randomHex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("OpenSSL 的随机数生成器出错（RAND_bytes）");
    std::string hex;
    for (const char c : raw)
        appendHex(hex, static_cast<unsigned char>(c), 2, HexCase::Lower);
    return hex;
}

} // namespace pelvoran::openssl
