#include "platform/reply_secret.h"

#include <cerrno>
#include <sys/random.h>

namespace pelvoran {

std::optional<std::string> drawSecret() {
    std::string secret(kSecretBytes, '\0');
    std::size_t got = 0;
    // At most a few rounds: getrandom gives up to 256 bytes whole unless a
    // signal comes between.
    for (int round = 0; round < 8 && got < secret.size(); ++round) {
        const ssize_t n = getrandom(secret.data() + got, secret.size() - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            return std::nullopt;
    }
    if (got < secret.size())
        return std::nullopt;
    return secret;
}

} // namespace pelvoran
