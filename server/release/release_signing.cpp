#include "server/release/release_signing.h"

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
        throw std::runtime_error("无法取得公钥");
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
        throw std::runtime_error("不是 pelvoran-server key create 生成的私钥（PEM 格式的 P-256 "
                                 "ECDSA 私钥）");
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
        return u"签名不符，只差在更新说明的换行：签名时每个换行是 CR LF（如 Windows "
               u"的文本文件），而发布时更新说明的换行一律是 LF（网页表单中的换行也是）。请用 "
               u"pelvoran-server release sign 对按 LF 换行的更新说明重新签名，再填入新的签名。";
    if (crLfHere && signedBy(publicKey, r, lfLineBreaks(r.notes)))
        return u"签名不符，只差在更新说明的换行：签名时每个换行是 LF，而这里的更新说明的换行是 "
               u"CR LF。请把更新说明的换行改为 LF 再发布，或对现在的更新说明重新签名。";
    return u"签名不符：它不是状态目录中公钥对应的私钥对这个版本（版本、下载地址、"
           u"发布日期、更新说明原样）的签名。请用配对的私钥重新签名。";
}

} // namespace

SigningKey createSigningKey() {
    Key key(EVP_EC_gen("P-256"));
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("无法生成密钥");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return {std::string(data, static_cast<std::size_t>(size)), publicPoint(key.get())};
}

std::string publicKeyOf(const std::string& privatePem) {
    return publicPoint(readPrivateKey(privatePem).get());
}

std::string signRelease(const std::string& privatePem, const Release& r) {
    const Key key = readPrivateKey(privatePem);
    const std::string message = releaseMessage(r.version, r.address, r.date, r.notes);
    const DigestContext context(EVP_MD_CTX_new());
    unsigned char der[80];
    std::size_t derSize = sizeof der;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), der, &derSize,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw std::runtime_error("无法签名");
    // The library writes DER; the tool takes r ‖ s, 32 bytes each.
    const unsigned char* at = der;
    const EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derSize)));
    unsigned char rs[64];
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs + 32, 32) != 32)
        throw std::runtime_error("无法签名");
    return std::string(kSignaturePrefix) + base64Url(rs, sizeof rs);
}

std::vector<ReleaseProblem> signingProblems(const Release& r, const std::string& publicKey) {
    std::vector<ReleaseProblem> problems;
    if (publicKey.empty()) {
        // Nothing to check it by: a text that goes out as the reply's fifth
        // field unchecked is no signature.
        if (!r.signature.empty())
            problems.push_back({ReleaseField::Signature,
                                u"状态目录中没有公钥，无法核对签名：请先用 pelvoran-server key "
                                u"create --state 在这里生成密钥，或不填签名。"});
        return problems;
    }
    if (!r.address.starts_with(u"https://"))
        problems.push_back({ReleaseField::Address,
                            u"须以 https:// 开头：发布的版本要签名，而 http:// "
                            u"地址的文件仍可被途中的人调换。"});
    if (r.signature.empty())
        problems.push_back(
            {ReleaseField::Signature,
             u"缺少签名：装有公钥的工具只提示签名相符的版本。请在存放私钥的机器上用 "
             u"pelvoran-server release sign --key 私钥文件 对这个版本签名，再给出以 sig1: "
             u"开头的签名（发布页面的“签名”一栏，或 release set --signature；也可用 "
             u"release set --sign-with 私钥文件 直接签名）。"});
    else if (!signedBy(publicKey, r, r.notes))
        problems.push_back({ReleaseField::Signature, mismatch(publicKey, r)});
    return problems;
}

} // namespace pelvoran::server
