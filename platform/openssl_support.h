#pragma once

// What the code built on OpenSSL's libcrypto shares: owning handles for its
// objects, and base64 (EVP_EncodeBlock) in its two alphabets.

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
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

} // namespace pelvoran::openssl
