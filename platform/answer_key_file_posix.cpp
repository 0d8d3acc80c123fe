#include "platform/answer_key_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran {

namespace {

/// Closes a descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

/// Makes `folder` and the folders above it that are missing, each 0700.
bool makeFolders(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash)))
        return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

/// The whole file, nullopt when there is none; false when it cannot be read.
bool readWhole(const std::string& path, std::optional<std::string>& contents) {
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        contents.reset();
        return errno == ENOENT;
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        // The file holds at most 20 records of a few kilobytes each.
        if (bytes.size() > (4u << 20))
            break;
    }
    contents = std::move(bytes);
    return true;
}

class PosixAnswerKeyFile final : public AnswerKeyFile {
public:
    explicit PosixAnswerKeyFile(std::string folder) : folder_(std::move(folder)) {}

    bool update(const std::function<Change(const std::optional<std::string>&)>& decide) override {
        if (!makeFolders(folder_))
            return false;
        ::chmod(folder_.c_str(), 0700); // ours alone, whoever made it
        const std::string path = folder_ + "/answer-keys";
        const Descriptor lock(
            ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (lock.get() < 0)
            return false;
        int locked;
        do
            locked = ::flock(lock.get(), LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0)
            return false;
        std::optional<std::string> contents;
        if (!readWhole(path, contents))
            return false;
        const Change change = decide(contents);
        switch (change.kind) {
        case Change::Kind::Keep: return true;
        case Change::Kind::SetAside:
            return ::rename(path.c_str(), (path + ".damaged").c_str()) == 0;
        case Change::Kind::Write: break;
        }
        std::string temporary = path + ".XXXXXX";
        const Descriptor fd(::mkstemp(temporary.data())); // 0600
        if (fd.get() < 0)
            return false;
        if (!writeAll(fd.get(), change.contents) || ::fsync(fd.get()) != 0 ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        return true;
    }

private:
    std::string folder_;
};

} // namespace

std::unique_ptr<AnswerKeyFile> answerKeyFileIn(const std::string& folder) {
    return std::make_unique<PosixAnswerKeyFile>(folder);
}

std::unique_ptr<AnswerKeyFile> userAnswerKeyFile() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data != nullptr && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return nullptr;
        base = std::string(home) + "/.local/share";
    }
    return answerKeyFileIn(base + "/pelvoran");
}

} // namespace pelvoran
