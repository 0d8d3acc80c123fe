// The secret from CNG's random source (bcrypt.dll, since Vista), loaded at
// the first draw as the signature checks load CNG: only a comment sent
// draws one.
#include "platform/reply_secret.h"

#include "platform/system_function_win.h"

#include <windows.h>

#include <bcrypt.h>

namespace pelvoran {

std::optional<std::string> drawSecret() {
    static const auto generate =
        systemFunction<decltype(&BCryptGenRandom)>(L"bcrypt.dll", "BCryptGenRandom");
    std::string secret(kSecretBytes, '\0');
    if (generate == nullptr ||
        !BCRYPT_SUCCESS(generate(nullptr, reinterpret_cast<PUCHAR>(secret.data()),
                                 static_cast<ULONG>(secret.size()),
                                 BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::nullopt;
    return secret;
}

} // namespace pelvoran
