// Signature checks through Windows' CNG (bcrypt.dll, since Vista), base64
// through crypt32.dll: both ship with Windows.
#include "platform/signature.h"

#include "platform/system_function_win.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace pelvoran::signature_detail {
namespace {

template <class Fn> Fn fromBcrypt(const char* name) {
    return systemFunction<Fn>(L"bcrypt.dll", name);
}

/// What the checks call, loaded at the first check rather than at every
/// start: only an update offer is checked, and under wine loading CNG and
/// crypt32 took about a tenth of the tool's start-up.
struct Api {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider =
        fromBcrypt<decltype(openAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider =
        fromBcrypt<decltype(closeAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
    decltype(&BCryptImportKeyPair) importKeyPair =
        fromBcrypt<decltype(importKeyPair)>("BCryptImportKeyPair");
    decltype(&BCryptDestroyKey) destroyKey = fromBcrypt<decltype(destroyKey)>("BCryptDestroyKey");
    decltype(&BCryptCreateHash) createHash = fromBcrypt<decltype(createHash)>("BCryptCreateHash");
    decltype(&BCryptHashData) hashData = fromBcrypt<decltype(hashData)>("BCryptHashData");
    decltype(&BCryptFinishHash) finishHash = fromBcrypt<decltype(finishHash)>("BCryptFinishHash");
    decltype(&BCryptDestroyHash) destroyHash =
        fromBcrypt<decltype(destroyHash)>("BCryptDestroyHash");
    decltype(&BCryptVerifySignature) verifySignature =
        fromBcrypt<decltype(verifySignature)>("BCryptVerifySignature");
    decltype(&CryptStringToBinaryA) stringToBinary =
        systemFunction<decltype(stringToBinary)>(L"crypt32.dll", "CryptStringToBinaryA");

    /// Whether every function was found: without one, nothing is checked.
    bool complete() const {
        return openAlgorithmProvider != nullptr && closeAlgorithmProvider != nullptr &&
               importKeyPair != nullptr && destroyKey != nullptr && createHash != nullptr &&
               hashData != nullptr && finishHash != nullptr && destroyHash != nullptr &&
               verifySignature != nullptr && stringToBinary != nullptr;
    }
};

const Api& api() {
    static const Api loaded;
    return loaded;
}

class Provider {
public:
    explicit Provider(const wchar_t* algorithm) {
        if (!api().complete() ||
            !BCRYPT_SUCCESS(api().openAlgorithmProvider(&handle_, algorithm, nullptr, 0)))
            handle_ = nullptr;
    }
    ~Provider() {
        if (handle_ != nullptr)
            api().closeAlgorithmProvider(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class KeyHandle {
public:
    KeyHandle(const Provider& ecdsa, const std::string& point) {
        // The public blob: its header, then X and Y without the 0x04.
        std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
        BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, point.data() + 1, 64);
        if (ecdsa.get() == nullptr || !BCRYPT_SUCCESS(api().importKeyPair(
                                          ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle_,
                                          blob.data(), static_cast<ULONG>(blob.size()), 0)))
            handle_ = nullptr;
    }
    ~KeyHandle() {
        if (handle_ != nullptr)
            api().destroyKey(handle_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    BCRYPT_KEY_HANDLE get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

/// SHA-256 by BCryptCreateHash (BCryptHash itself is Windows 10's).
bool sha256(std::string_view message, UCHAR (&digest)[32]) {
    const Provider provider(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (provider.get() == nullptr ||
        !BCRYPT_SUCCESS(api().createHash(provider.get(), &hash, nullptr, 0, nullptr, 0, 0)))
        return false;
    std::string copy(message); // BCryptHashData takes a non-const pointer
    const bool done = BCRYPT_SUCCESS(api().hashData(hash, reinterpret_cast<PUCHAR>(copy.data()),
                                                    static_cast<ULONG>(copy.size()), 0)) &&
                      BCRYPT_SUCCESS(api().finishHash(hash, digest, sizeof digest, 0));
    api().destroyHash(hash);
    return done;
}

} // namespace

std::optional<std::string> decodeBase64(const std::string& padded) {
    DWORD size = static_cast<DWORD>(padded.size());
    std::string out(padded.size(), '\0');
    if (!api().complete() ||
        !api().stringToBinary(padded.data(), static_cast<DWORD>(padded.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(out.data()), &size, nullptr, nullptr))
        return std::nullopt;
    out.resize(size);
    return out;
}

bool pointOnCurve(const std::string& point) {
    const Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    return KeyHandle(ecdsa, point).get() != nullptr;
}

bool verifyP256(const std::string& point, std::string_view message, const std::string& rs) {
    const Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    const KeyHandle key(ecdsa, point);
    UCHAR digest[32];
    if (key.get() == nullptr || !sha256(message, digest))
        return false;
    std::string signature = rs;
    return BCRYPT_SUCCESS(api().verifySignature(key.get(), nullptr, digest, sizeof digest,
                                                reinterpret_cast<PUCHAR>(signature.data()),
                                                static_cast<ULONG>(signature.size()), 0));
}

} // namespace pelvoran::signature_detail

namespace pelvoran {

std::string sha256(std::string_view bytes) {
    UCHAR digest[32];
    if (!signature_detail::sha256(bytes, digest))
        return {};
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

} // namespace pelvoran
