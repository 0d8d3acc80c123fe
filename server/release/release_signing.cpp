#include "server/release/release_signing.h"

#include "server/release/release_texts.h"

#include "net/update_check.h"
#include "platform/openssl_support.h"
#include "platform/signature.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>

namespace pelvoran::server {
namespace {

using openssl::Bio;
using openssl::DigestContext;
using openssl::EcdsaSig;
using openssl::Key;

std::string base64Url(const unsigned char* data, std::size_t size) {
    return openssl::base64Url(std::string_view(reinterpret_cast<const char*>(data), size));
}

std::string publicPoint(EVP_PKEY* key) {
    unsigned char point[72];
    std::size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &size) != 1 ||
        size != 65 || point[0] != 0x04)
        throw std::runtime_error(release_text::kNoPublicKey);
    return base64Url(point, size);
}

Key readPrivateKey(const std::string& pem) {
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    char group[32] = "";
    std::size_t size = 0;
    if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &size) != 1 ||
        std::string(group) != "prime256v1")
        throw std::runtime_error(release_text::kNotOurKey);
    return key;
}

bool signedBy(const std::string& publicKey, const Release& r, TextView notes) {
    return releaseSignatureValid(publicKey, releaseMessage(r.version, r.address, r.date, notes),
                                 r.signature);
}

/// Notes with each line break as CR LF.
Text crLfLineBreaks(TextView notes) {
    Text out;
    for (const char16_t c : lfLineBreaks(notes))
        out += c == u'\n' ? Text(u"\r\n") : Text(1, c);
    return out;
}

/// Why the signature does not verify: its line breaks, when those alone
/// differ (a browser's form sends CR LF, a shell LF), or another key or text.
Text mismatch(const std::string& publicKey, const Release& r) {
    const bool crLfHere = r.notes.find(u'\r') != Text::npos;
    if (!crLfHere && r.notes.find(u'\n') != Text::npos &&
        signedBy(publicKey, r, crLfLineBreaks(r.notes)))
        return release_text::kSignedWithCrLf;
    if (crLfHere && signedBy(publicKey, r, lfLineBreaks(r.notes)))
        return release_text::kSignedWithLf;
    return release_text::kSignatureMismatch;
}

} // namespace

SigningKey createSigningKey() {
    Key key(EVP_EC_gen("P-256"));
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error(release_text::kCannotMakeKey);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return {std::string(data, static_cast<std::size_t>(size)), publicPoint(key.get())};
}

std::string publicKeyOf(const std::string& privatePem) {
    return publicPoint(readPrivateKey(privatePem).get());
}

std::string signRelease(const std::string& privatePem, const Release& r) {
    return signMessage(privatePem, releaseMessage(r.version, r.address, r.date, r.notes));
}

std::string answerMessage(std::int64_t number, const std::string& replyKey,
                          const std::string& text) {
    return "pelvoran-answer-v1[;]" + std::to_string(number) + "[;]" + replyKey + "[;]" + text;
}

std::string signMessage(const std::string& privatePem, std::string_view message) {
    const Key key = readPrivateKey(privatePem);
    const DigestContext context(EVP_MD_CTX_new());
    unsigned char der[80];
    std::size_t derSize = sizeof der;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), der, &derSize,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw std::runtime_error(release_text::kCannotSign);
    // The library writes DER; the tool takes r ‖ s, 32 bytes each.
    const unsigned char* at = der;
    const EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derSize)));
    unsigned char rs[64];
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs + 32, 32) != 32)
        throw std::runtime_error(release_text::kCannotSign);
    return std::string(kSignaturePrefix) + base64Url(rs, sizeof rs);
}

std::vector<ReleaseProblem> signingProblems(const Release& r, const std::string& publicKey) {
    std::vector<ReleaseProblem> problems;
    if (publicKey.empty()) {
        // Nothing to check it by: a text that goes out as the reply's fifth
        // field unchecked is no signature.
        if (!r.signature.empty())
            problems.push_back({ReleaseField::Signature, release_text::kNothingToCheckBy});
        return problems;
    }
    if (!r.address.starts_with(u"https://"))
        problems.push_back({ReleaseField::Address, release_text::kSignedNeedsHttps});
    if (r.signature.empty())
        problems.push_back({ReleaseField::Signature, release_text::kUnsigned});
    else if (!signedBy(publicKey, r, r.notes))
        problems.push_back({ReleaseField::Signature, mismatch(publicKey, r)});
    return problems;
}

} // namespace pelvoran::server
