// `key create|show`: the publisher's signing key, made whole or not at all.
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
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

/// A file written whole under a temporary name beside the one it is to
/// have, and synced: moved into place by place(), or removed.
class NewFile {
public:
    NewFile(int dir, std::string name, const std::string& text, std::string shown)
        : dir_(dir), name_(std::move(name)), shown_(std::move(shown)),
          temp_("." + name_ + "." + std::to_string(::getpid()) + ".part") {
        ::unlinkat(dir_, temp_.c_str(), 0);
        Fd fd(::openat(dir_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
        if (fd.get() < 0)
            throw std::runtime_error(shown_ + "：" + systemErrorText(errno));
        written_ = true;
        try {
            for (std::size_t done = 0; done < text.size();) {
                const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw std::runtime_error(shown_ + "：" +
                                             systemErrorText(n < 0 ? errno : ENOSPC));
                done += static_cast<std::size_t>(n);
            }
            if (::fsync(fd.get()) != 0 || !fd.close())
                throw std::runtime_error(shown_ + "：" + systemErrorText(errno));
        } catch (...) {
            ::unlinkat(dir_, temp_.c_str(), 0);
            throw;
        }
    }
    ~NewFile() {
        if (written_)
            ::unlinkat(dir_, (placed_ ? name_ : temp_).c_str(), 0);
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    /// Moves it into place, never over a file that is there.
    void place() {
        if (::renameat2(dir_, temp_.c_str(), dir_, name_.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST)
                throw UsageError{shown_ + " 已存在：不会覆盖它。请换一个文件名，或先把旧文件移走。",
                                 false};
            throw std::runtime_error(shown_ + "：" + systemErrorText(errno));
        }
        placed_ = true;
    }
    /// From now on it stays where it is.
    void keep() { written_ = false; }

private:
    int dir_;
    std::string name_, shown_, temp_;
    bool written_ = false;
    bool placed_ = false;
};

/// Refuses, before anything is written, a state directory that holds a
/// key already.
void refuseKeyed(const StateDir& s) {
    for (const char* name : {kUpdatePublicKeyFile, kUpdatePrivateKeyFile}) {
        struct stat st {};
        if (::fstatat(s.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            throw UsageError{"状态目录 " + s.shown + " 已有 " + name +
                                 "：换钥匙会让已发布的签名失效，现场的工具也只认原来的公钥。"
                                 "没有写入任何文件。确要更换时，先把 " +
                                 kUpdatePublicKeyFile + " 和 " + kUpdatePrivateKeyFile +
                                 " 移出状态目录并妥善保存。",
                             false};
        if (errno != ENOENT)
            throw std::runtime_error("无法读取状态目录 " + s.shown + "：" + systemErrorText(errno));
    }
}

/// A directory opened to write in and sync.
Fd openDirectory(const std::string& path) {
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        throw std::runtime_error("无法打开目录 " + path + "：" + systemErrorText(errno));
    return dir;
}

void syncDirectory(const Fd& dir, const std::string& shown) {
    if (::fsync(dir.get()) != 0)
        throw std::runtime_error("无法把 " + shown + " 写入磁盘：" + systemErrorText(errno));
}

int createKey(const Parsed& p) {
    expectWords(p, 3);
    const bool inState = p.words.size() < 3;
    if (inState && !p.options.contains("--state"))
        throw UsageError{"key create 需要私钥文件名 FILE，或用 --state DIR 把私钥存在状态目录中"};
    std::optional<StateDir> state;
    try {
        state.emplace(findState(p, StateUse::Existing));
    } catch (const UsageError&) {
        if (p.options.contains("--state"))
            throw;
        // The default state directory of a machine that runs no server.
    }
    if (state)
        refuseKeyed(*state);
    // The publisher's own file, as the caller and from where they are.
    std::optional<Fd> fileDir;
    std::string fileName;
    if (!inState) {
        const fs::path path(p.words[2]);
        fileName = path.filename().string();
        if (fileName.empty() || fileName == "." || fileName == "..")
            throw UsageError{p.words[2] + " 须为文件的路径，而不是目录", false};
        fileDir = openDirectory(path.has_parent_path() ? path.parent_path().string() : ".");
        struct stat st {};
        if (::fstatat(fileDir->get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            throw UsageError{p.words[2] + " 已存在：不会覆盖它。请换一个文件名，或先把旧文件移走。",
                             false};
    }
    const SigningKey key = createSigningKey();
    const std::string fingerprint = keyFingerprint(key.publicKey);
    std::optional<NewFile> file;
    if (!inState) {
        file.emplace(fileDir->get(), fileName, key.privatePem, p.words[2]);
        file->place();
        syncDirectory(*fileDir, p.words[2]);
    }
    if (state) {
        // Written whole or not at all: on any failure the publisher's file
        // goes too, so no half of the key is left without the other.
        const int status = asStateOwner(*state, [&] {
            checkState(*state);
            refuseKeyed(*state);
            const Fd dir = openDirectory(state->path);
            std::optional<NewFile> privateHalf;
            if (inState)
                privateHalf.emplace(dir.get(), kUpdatePrivateKeyFile, key.privatePem,
                                    state->shown + "/" + kUpdatePrivateKeyFile);
            NewFile publicHalf(dir.get(), kUpdatePublicKeyFile, key.publicKey + "\n",
                               state->shown + "/" + kUpdatePublicKeyFile);
            // The private half first: a public key alone binds every release
            // to a key nobody holds.
            if (privateHalf)
                privateHalf->place();
            publicHalf.place();
            syncDirectory(dir, state->shown);
            openDatabase(*state)->audit().append(
                "创建签名密钥",
                "公钥指纹 " + fingerprint +
                    (inState ? "，私钥存在状态目录中" : "，私钥在发布者自己的文件中"),
                kByCommandLine);
            if (privateHalf)
                privateHalf->keep();
            publicHalf.keep();
        });
        if (status != kExitOk)
            return status;
        say(stderr, "公钥已存入状态目录 " + state->shown +
                        "：此后每个发布的版本都须有相符的签名，下载地址须以 https:// 开头。");
    }
    if (file)
        file->keep();
    say(stderr,
        inState ? "私钥存在 " + state->shown + "/" + kUpdatePrivateKeyFile +
                      "，只有状态目录的所有者可读；此后的备份也含有它，请像保管私钥一样保管备份。"
                : "私钥已写入 " + p.words[2] + "，只有你可读。");
    say(stderr, "请现在就把私钥另存一份离线副本（例如存到 U 盘，锁在安全的地方）：现场的工具只接受"
                "用这把私钥签名的版本，私钥一旦丢失，用这个公钥构建的工具就再也不能收到更新提示。");
    say(stderr, "公钥指纹：" + fingerprint + "（pelvoran-server key show 可以再次查看）");
    say(stderr,
        "构建工具时加上下面这一行（Linux 与 Windows 版相同），工具只提示用这把私钥签名的版本：");
    say(stdout, "-DPELVORAN_UPDATE_KEY=" + key.publicKey);
    return kExitOk;
}

int showKey(const Parsed& p) {
    expectWords(p, 2);
    const StateDir state = enterState(p);
    const std::string key = statePublicKey(state.path);
    if (key.empty())
        throw std::runtime_error(
            "状态目录 " + state.shown + " 中没有公钥 " + kUpdatePublicKeyFile +
            "：发布的版本不经签名核对。用 pelvoran-server key create 生成密钥。");
    say(stdout, "-DPELVORAN_UPDATE_KEY=" + key);
    say(stdout, "公钥指纹：" + keyFingerprint(key));
    const auto privateKey = statePrivateKey(state.path);
    bool pairs = false;
    if (privateKey) {
        try {
            pairs = publicKeyOf(*privateKey) == key;
        } catch (const std::runtime_error&) {
        }
    }
    say(stdout, !privateKey ? std::string("私钥：不在状态目录中，由发布者自己保管")
                : pairs ? "私钥：存在状态目录中（" + state.shown + "/" + kUpdatePrivateKeyFile +
                              "），与公钥是一对"
                        : "私钥：状态目录中的 " + std::string(kUpdatePrivateKeyFile) +
                              " 与公钥不是一对，release set 不能用它签名");
    return kExitOk;
}

} // namespace

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
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    if (verb == "create")
        return createKey(p);
    if (verb == "show")
        return showKey(p);
    throw UsageError{"key 后须为 create 或 show"};
}

} // namespace pelvoran::server
