#include "server/support/digest.h"

#include "server/support/support_texts.h"

#include "platform/hex.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace pelvoran::server {

namespace {

std::string hexOf(const unsigned char* raw, unsigned int size) {
    std::string hex;
    for (unsigned int i = 0; i < size; ++i)
        appendHex(hex, raw[i], 2, HexCase::Lower);
    return hex;
}

} // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::runtime_error(support_text::kDigestFailed);
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::add(std::string_view bytes) {
    if (EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1)
        throw std::runtime_error(support_text::kDigestFailed);
}

std::string Sha256::hex() {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, raw, &size) != 1)
        throw std::runtime_error(support_text::kDigestFailed);
    return hexOf(raw, size);
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), raw, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error(support_text::kDigestFailed);
    return hexOf(raw, size);
}

} // namespace pelvoran::server
