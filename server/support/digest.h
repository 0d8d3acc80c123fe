#pragma once

#include <string>
#include <string_view>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

namespace pelvoran::server {

/// SHA-256 of `bytes`, in lower-case hex (OpenSSL's libcrypto).
std::string sha256Hex(std::string_view bytes);

/// SHA-256 of bytes that come in parts: a file read a buffer at a time.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(std::string_view bytes);
    /// The digest of everything added, in lower-case hex; once.
    std::string hex();

private:
    ::evp_md_ctx_st* context_;
};

} // namespace pelvoran::server
