// `key create|show`: the publisher's signing key, made whole or not at all;
// `key answer`: the answer key's public half.
#include "server/cli/cli_texts.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"
#include "server/support/state_files.h"
#include "server/upkeep/backups.h"

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
                throw UsageError{cli_text::keyFileExists(shown_), false};
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
            throw UsageError{
                cli_text::stateHasKey(s.shown, name, kUpdatePublicKeyFile, kUpdatePrivateKeyFile),
                false};
        if (errno != ENOENT)
            throw std::runtime_error(cli_text::cannotReadState(s.shown, systemErrorText(errno)));
    }
}

/// A directory opened to write in and sync.
Fd openDirectory(const std::string& path) {
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        throw std::runtime_error(cli_text::cannotOpenDirectory(path, systemErrorText(errno)));
    return dir;
}

void syncDirectory(const Fd& dir, const std::string& shown) {
    if (::fsync(dir.get()) != 0)
        throw std::runtime_error(cli_text::cannotSync(shown, systemErrorText(errno)));
}

int createKey(const Parsed& p) {
    expectWords(p, 3);
    const bool inState = p.words.size() < 3;
    if (inState && !p.options.contains("--state"))
        throw UsageError{cli_text::kKeyCreateNeedsFile};
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
            throw UsageError{cli_text::keyFileIsDirectory(p.words[2]), false};
        fileDir = openDirectory(path.has_parent_path() ? path.parent_path().string() : ".");
        struct stat st {};
        if (::fstatat(fileDir->get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            throw UsageError{cli_text::keyFileExists(p.words[2]), false};
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
            openDatabase(*state)->audit().append(cli_text::kKeyCreatedAction,
                                                 cli_text::keyCreatedDetail(fingerprint, inState),
                                                 kByCommandLine);
            if (privateHalf)
                privateHalf->keep();
            publicHalf.keep();
        });
        if (status != kExitOk)
            return status;
        say(stderr, cli_text::publicKeyStored(state->shown));
    }
    if (file)
        file->keep();
    say(stderr, inState ? cli_text::privateKeyInState(state->shown + "/" + kUpdatePrivateKeyFile)
                        : cli_text::privateKeyWritten(p.words[2]));
    say(stderr, cli_text::kKeepOfflineCopy);
    say(stderr, cli_text::fingerprintShowAgain(fingerprint));
    say(stderr, cli_text::kBuildWithKey);
    say(stdout, "-DPELVORAN_UPDATE_KEY=" + key.publicKey);
    return kExitOk;
}

int showKey(const Parsed& p) {
    expectWords(p, 2);
    const StateDir state = enterState(p);
    const std::string key = statePublicKey(state.path);
    if (key.empty())
        throw std::runtime_error(cli_text::noPublicKey(state.shown, kUpdatePublicKeyFile));
    say(stdout, "-DPELVORAN_UPDATE_KEY=" + key);
    say(stdout, cli_text::fingerprintLine(keyFingerprint(key)));
    const auto privateKey = statePrivateKey(state.path);
    bool pairs = false;
    if (privateKey) {
        try {
            pairs = publicKeyOf(*privateKey) == key;
        } catch (const std::runtime_error&) {
        }
    }
    say(stdout, !privateKey ? std::string(cli_text::kPrivateKeyElsewhere)
                : pairs     ? cli_text::privateKeyPairs(state.shown + "/" + kUpdatePrivateKeyFile)
                            : cli_text::privateKeyMismatch(kUpdatePrivateKeyFile));
    return kExitOk;
}

/// `key answer`: the public half of the answer key (made when missing, the
/// one every server on the database shares) as the tools' build option.
int showAnswerKey(const Parsed& p) {
    expectWords(p, 2);
    const StateDir state = enterState(p);
    const std::string key = publicKeyOf(sharedAnswerKey(state.path, *openDatabase(state)));
    say(stderr, cli_text::kBuildWithAnswerKey);
    say(stdout, "-DPELVORAN_ANSWER_KEY=" + key);
    say(stdout, cli_text::fingerprintLine(keyFingerprint(key)));
    return kExitOk;
}

} // namespace

std::string readPrivateKeyFile(const std::string& path, const std::string& option) {
    const auto text = readWhole(path);
    if (!text)
        throw UsageError{cli_text::cannotReadFile(option, path, systemErrorText(errno)), false};
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
    if (verb == "answer")
        return showAnswerKey(p);
    throw UsageError{cli_text::kKeyVerbs};
}

} // namespace pelvoran::server
