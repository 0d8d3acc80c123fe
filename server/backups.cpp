#include "server/backups.h"

#include "server/error_text.h"
#include "server/log.h"
#include "server/state_dir.h"
#include "server/store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

void syncFile(int fd, const std::string& shown) {
    if (::fsync(fd) != 0)
        throw std::runtime_error("无法把 " + shown + " 写入磁盘：" + systemErrorText(errno));
}

void copyAll(int from, int to, const std::string& shown) {
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("无法读取要复制的文件：" + systemErrorText(errno));
        if (n == 0)
            return;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) // a write of nothing: the disk is full
                throw std::runtime_error("无法写入 " + shown + "：" +
                                         systemErrorText(w < 0 ? errno : ENOSPC));
            done += w;
        }
        at += n;
    }
}

bool backupInto(Database& db, const std::string& dir, const std::string& name) {
    const Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0)
        throw std::runtime_error("无法打开目录 " + dir + "：" + systemErrorText(errno));
    const std::string temp = "." + name + ".part";
    const std::string tempPath = dir + "/" + temp;
    const std::string shown = dir + "/" + name;
    // What an interrupted backup left behind.
    ::unlinkat(dirFd.get(), temp.c_str(), 0);
    try {
        db.copyInto(tempPath);
        const Fd out(::openat(dirFd.get(), temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (out.get() < 0)
            throw std::runtime_error("无法打开 " + tempPath + "：" + systemErrorText(errno));
        syncFile(out.get(), shown);
    } catch (const StoreError& e) {
        ::unlinkat(dirFd.get(), temp.c_str(), 0);
        throw std::runtime_error("无法写入 " + shown + "：" + e.what());
    } catch (...) {
        ::unlinkat(dirFd.get(), temp.c_str(), 0);
        throw;
    }
    if (::renameat2(dirFd.get(), temp.c_str(), dirFd.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        ::unlinkat(dirFd.get(), temp.c_str(), 0);
        if (error == EEXIST)
            return false;
        throw std::runtime_error("无法创建 " + shown + "：" + systemErrorText(error));
    }
    syncFile(dirFd.get(), dir);
    return true;
}

void dailyBackup(const std::string& stateDir, Database& db) {
    constexpr std::size_t kKeep = 7;
    const fs::path dir = fs::path(stateDir) / kBackupsDir;
    char name[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(name, sizeof name, "comments-%Y-%m-%d.sqlite", &tm);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("无法创建目录 " + dir.string() + "：" + systemErrorText(errno));
    struct stat st {};
    if (::stat((dir / name).c_str(), &st) == 0 || !backupInto(db, dir.string(), name))
        return;
    // Only the daily ones are rotated: a database a restore replaced stays.
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("comments-") && file.ends_with(".sqlite"))
            backups.push_back(entry.path());
    }
    std::sort(backups.begin(), backups.end());
    std::error_code ec;
    for (std::size_t i = 0; i + kKeep < backups.size(); ++i)
        fs::remove(backups[i], ec);
}

DailyBackups::DailyBackups(const std::string& stateDir)
    : stateDir_(stateDir), db_(std::make_unique<Database>(databasePath(stateDir))),
      thread_([this] { run(); }) {}

DailyBackups::~DailyBackups() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    db_->interrupt();
    wake_.notify_one();
    thread_.join();
}

void DailyBackups::run() {
    const auto today = [] { return std::time(nullptr) / 86400; };
    std::time_t backedUp = -1;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (const std::time_t day = today(); day != backedUp) {
            backedUp = day; // once a day, whether it works or not
            lock.unlock();
            try {
                dailyBackup(stateDir_, *db_);
            } catch (const std::exception& e) {
                logError(std::string("每日备份失败：") + e.what());
            }
            lock.lock();
        }
        wake_.wait_for(lock, std::chrono::seconds(30), [this] { return stopping_; });
    }
}

} // namespace pelvoran::server
