#include "server/backups.h"

#include "server/store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

void writeAndSync(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // a write of nothing: the disk is full
            throw StoreError(std::strerror(n < 0 ? errno : ENOSPC));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        throw StoreError(std::strerror(errno));
}

namespace {

/// Writes `bytes` to `path` through a temporary file, synced, so that a
/// backup file is either whole or absent.
void writeWhole(const fs::path& path, const std::string& bytes) {
    const fs::path temp = path.string() + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw StoreError(temp.string() + ": " + std::strerror(errno));
    try {
        writeAndSync(fd, bytes);
    } catch (const StoreError& e) {
        ::close(fd);
        fs::remove(temp);
        throw StoreError(temp.string() + ": " + e.what());
    }
    ::close(fd);
    fs::rename(temp, path);
}

} // namespace

void dailyBackup(const std::string& stateDir, Database& db) {
    constexpr std::size_t kKeep = 7;
    const fs::path dir = fs::path(stateDir) / "backups";
    char name[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(name, sizeof name, "comments-%Y-%m-%d.sqlite", &tm);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (fs::exists(dir / name))
        return;
    writeWhole(dir / name, db.snapshot());
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".sqlite")
            backups.push_back(entry.path());
    std::sort(backups.begin(), backups.end());
    for (std::size_t i = 0; i + kKeep < backups.size(); ++i)
        fs::remove(backups[i], ec);
}

} // namespace pelvoran::server
