#include "server/release/update_key.h"

#include "server/release/release_signing.h"
#include "server/release/release_texts.h"
#include "server/support/digest.h"
#include "server/support/error_text.h"
#include "server/support/files.h"
#include "server/support/state_files.h"

#include "platform/signature.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

} // namespace

std::string keyFingerprint(const std::string& publicKey) {
    return sha256Hex(publicKey).substr(0, 16);
}

std::optional<std::string> publicKeyIn(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (!publicKeyValid(text))
        return std::nullopt;
    return text;
}

std::string statePublicKey(const std::string& stateDir) {
    const std::string path = (fs::path(stateDir) / kUpdatePublicKeyFile).string();
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return "";
    const auto text = readWhole(path);
    if (!text)
        throw std::runtime_error(release_text::cannotReadPublicKey(kUpdatePublicKeyFile));
    const auto key = publicKeyIn(*text);
    if (!key)
        throw std::runtime_error(release_text::badPublicKey(kUpdatePublicKeyFile));
    return *key;
}

std::string stateAnswerKey(const std::string& stateDir, const std::string& replacement) {
    const std::string path = (fs::path(stateDir) / kAnswerKeyFile).string();
    const auto failed = [&](int error) {
        return std::runtime_error(release_text::cannotKeepAnswerKey(path, systemErrorText(error)));
    };
    if (replacement.empty()) {
        if (const auto text = readWhole(path)) {
            try {
                publicKeyOf(*text);
            } catch (const std::runtime_error& e) {
                throw std::runtime_error(path + " " + e.what());
            }
            return *text;
        }
        if (errno != ENOENT)
            throw failed(errno);
    }
    // Written whole under another name and moved into place: a key half
    // written is never read.
    const std::string key = replacement.empty() ? createSigningKey().privatePem : replacement;
    const std::string temp = path + "." + std::to_string(::getpid()) + ".part";
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw failed(errno);
    const bool written =
        ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size()) && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int why = written ? errno : error;
        ::unlink(temp.c_str());
        throw failed(why);
    }
    return key;
}

std::optional<std::string> statePrivateKey(const std::string& stateDir) {
    return readWhole((fs::path(stateDir) / kUpdatePrivateKeyFile).string());
}

} // namespace pelvoran::server
