#include "server/release/update_key.h"

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

std::optional<std::string> statePrivateKey(const std::string& stateDir) {
    return readWhole((fs::path(stateDir) / kUpdatePrivateKeyFile).string());
}

} // namespace pelvoran::server
