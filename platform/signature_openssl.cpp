// Signature checks through OpenSSL's libcrypto.
#include "platform/signature.h"

#include "platform/openssl_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace pelvoran::signature_detail {
namespace {

using openssl::DigestContext;
using openssl::Key;
using openssl::KeyContext;
using Signature = openssl::EcdsaSig;

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

Key importPoint(const std::string& point) {
    char group[] = "prime256v1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<char*>(point.data()),
                                          point.size()),
        OSSL_PARAM_construct_end()};
    const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY,
                          const_cast<OSSL_PARAM*>(params)) != 1)
        return nullptr;
    Key owned(key);
    // fromdata takes the octets as they come; the point's check is separate.
    const KeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, owned.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1)
        return nullptr;
    return owned;
}

} // namespace

std::optional<std::string> decodeBase64(const std::string& padded) {
    std::string out(padded.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes(padded),
                                  static_cast<int>(padded.size()));
    if (n < 0)
        return std::nullopt;
    // The block decoder counts the padding as zero bytes.
    std::size_t size = static_cast<std::size_t>(n);
    for (auto c = padded.rbegin(); c != padded.rend() && *c == '=' && size > 0; ++c)
        --size;
    out.resize(size);
    return out;
}

bool pointOnCurve(const std::string& point) {
    return importPoint(point) != nullptr;
}

bool verifyP256(const std::string& point, std::string_view message, const std::string& rs) {
    const Key key = importPoint(point);
    if (!key)
        return false;
    // The library checks DER; r ‖ s is rewritten as such.
    Signature sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(bytes(rs), 32, nullptr);
    BIGNUM* s = BN_bin2bn(bytes(rs) + 32, 32, nullptr);
    if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
    if (derSize <= 0)
        return false;
    const std::unique_ptr<unsigned char,
                          openssl::Deleter<[](unsigned char* p) { OPENSSL_free(p); }>>
        ownedDer(der);
    const DigestContext digest(EVP_MD_CTX_new());
    return digest &&
           EVP_DigestVerifyInit(digest.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(digest.get(), der, static_cast<std::size_t>(derSize),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

} // namespace pelvoran::signature_detail

namespace pelvoran {

std::string sha256(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<const char*>(digest), size);
}

} // namespace pelvoran
