#include "server/update_key.h"

#include "server/command_support.h"
#include "server/error_text.h"
#include "server/release_signing.h"
#include "server/state_dir.h"

#include "platform/signature.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

/// Creates `path` with `text`, only its owner may read it; an existing file
/// is never replaced.
void writeNewFile(const std::string& path, const std::string& text, const std::string& shown) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        if (errno == EEXIST)
            throw UsageError{shown + " 已存在：不会覆盖它。请换一个文件名，或先把旧文件移走。",
                             false};
        throw std::runtime_error(shown + "：" + systemErrorText(errno));
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(shown + "：" + systemErrorText(errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || !fd.close())
        throw std::runtime_error(shown + "：" + systemErrorText(errno));
}

std::optional<std::string> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::string statePublicKey(const std::string& stateDir) {
    const std::string path = (fs::path(stateDir) / kUpdatePublicKeyFile).string();
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return "";
    auto text = readWhole(path);
    if (!text)
        throw std::runtime_error("无法读取状态目录中的公钥文件 " +
                                 std::string(kUpdatePublicKeyFile));
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
        text->pop_back();
    if (!publicKeyValid(*text))
        throw std::runtime_error("状态目录中的 " + std::string(kUpdatePublicKeyFile) +
                                 " 不是有效的公钥：请换成 key create 打印的那一行");
    return *text;
}

std::optional<std::string> statePrivateKey(const std::string& stateDir) {
    return readWhole((fs::path(stateDir) / kUpdatePrivateKeyFile).string());
}

std::string readPrivateKeyFile(const std::string& path, const std::string& option) {
    const auto text = readWhole(path);
    if (!text)
        throw UsageError{option + "：无法读取 " + path + "：" + systemErrorText(errno), false};
    try {
        publicKeyOf(*text);
    } catch (const std::runtime_error& e) {
        throw UsageError{option + "：" + path + " " + e.what(), false};
    }
    return *text;
}

int keyCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    if (p.words.size() < 2 || p.words[1] != "create")
        throw UsageError{"key 后须为 create"};
    expectWords(p, 3);
    const bool inState = p.words.size() < 3;
    if (inState && !p.options.contains("--state"))
        throw UsageError{"key create 需要私钥文件名 FILE，或用 --state DIR 把私钥存在状态目录中"};
    const SigningKey key = createSigningKey();
    // The publisher's own file first, as the caller and from where they are.
    if (!inState)
        writeNewFile(p.words[2], key.privatePem, p.words[2]);
    std::optional<StateDir> state;
    try {
        state.emplace(enterState(p));
    } catch (const UsageError&) {
        if (p.options.contains("--state"))
            throw;
        // The default state directory of a machine that runs no server.
    }
    if (state) {
        if (!statePublicKey(state->path).empty())
            throw UsageError{"状态目录 " + state->shown + " 已有公钥 " + kUpdatePublicKeyFile +
                                 (inState ? "" : "（私钥仍写在了 " + p.words[2] + "）") +
                                 "：换钥匙会让已发布的签名失效。确要更换时，先把该文件移走。",
                             false};
        if (inState)
            writeNewFile((fs::path(state->path) / kUpdatePrivateKeyFile).string(), key.privatePem,
                         state->shown + "/" + kUpdatePrivateKeyFile);
        writeNewFile((fs::path(state->path) / kUpdatePublicKeyFile).string(), key.publicKey + "\n",
                     state->shown + "/" + kUpdatePublicKeyFile);
        say(stderr, "公钥已存入状态目录 " + state->shown +
                        "：此后每个发布的版本都须有相符的签名，下载地址须以 https:// 开头。");
    }
    say(stderr,
        "构建工具时加上下面这一行（Linux 与 Windows 版相同），工具只提示用这把私钥签名的版本：");
    say(stdout, "-DPELVORAN_UPDATE_KEY=" + key.publicKey);
    return kExitOk;
}

} // namespace pelvoran::server
