#include "server/store/download_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"
#include "server/store/store_texts.h"
#include "server/support/digest.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>

#include <cerrno>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

/// A chunk's bytes: well under SQLite's blob limit, and what is held in
/// memory at once.
constexpr std::size_t kChunk = 1024 * 1024;

/// Reads `fd` from its start a chunk at a time, each handed to `take`; the
/// bytes read and their digest.
StoredFile readChunks(int fd, const std::string& shown,
                      const std::function<void(const std::string&)>& take) {
    Sha256 digest;
    std::string chunk(kChunk, '\0');
    std::int64_t at = 0;
    for (;;) {
        std::size_t filled = 0;
        while (filled < kChunk) {
            const ssize_t n = ::pread(fd, chunk.data() + filled, kChunk - filled,
                                      static_cast<off_t>(at) + static_cast<off_t>(filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const std::string why = systemErrorText(errno);
                throw FileRefused(FileRefused::Kind::CannotRead, store_text::cannotRead(shown, why),
                                  shown, why);
            }
            if (n == 0)
                break;
            filled += static_cast<std::size_t>(n);
        }
        if (filled == 0)
            break;
        const std::string part = filled == kChunk ? chunk : chunk.substr(0, filled);
        digest.add(part);
        take(part);
        at += static_cast<std::int64_t>(filled);
        if (filled < kChunk)
            break;
    }
    return {digest.hex(), at};
}

/// The size and digest of the file at `path`; nullopt when it cannot be read.
std::optional<StoredFile> copyOnDisk(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0)
        return std::nullopt;
    try {
        return readChunks(fd.get(), path, [](const std::string&) {});
    } catch (const FileRefused&) {
        return std::nullopt;
    }
}

PublishedPath readPath(Statement& s) {
    const auto platform = parsePlatform(s.text(0));
    return {ReleaseFile{platform.value_or(Platform::Windows), s.text(2), s.text(3), s.integer(4)},
            s.text(1)};
}

} // namespace

StoredFile DownloadStore::store(int fd, std::uint64_t maxSize, const std::string& shown,
                                const std::function<void()>& betweenTransactions) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const std::string why = systemErrorText(errno);
        throw FileRefused(FileRefused::Kind::CannotRead, store_text::cannotRead(shown, why), shown,
                          why);
    }
    if (!S_ISREG(info.st_mode))
        throw FileRefused(FileRefused::Kind::NotRegular, store_text::notARegularFile(shown), shown);
    if (static_cast<std::uint64_t>(info.st_size) > maxSize)
        throw FileRefused(FileRefused::Kind::TooLarge,
                          store_text::fileTooLarge(shown, info.st_size, maxSize), shown, "",
                          info.st_size, maxSize);
    // Hashed first, so that a file already kept is not written again; hashed
    // again as it is written, so that one changed meanwhile is not kept.
    const StoredFile first = readChunks(fd, shown, [](const std::string&) {});
    if (file(first.sha256))
        return first;
    // The chunks go in a few at a time, each batch its own transaction, so
    // that comments committed meanwhile wait for a batch, never for the
    // whole file; the file is there once its row is, written last. Chunks
    // of a store cut short have no row: nothing reads them, the next store
    // of the file writes them again, and prune() removes them.
    Statement insert(connection_, "INSERT INTO download_chunks (sha256, n, data) VALUES (?, ?, ?) "
                                  "ON CONFLICT (sha256, n) DO UPDATE SET data = excluded.data");
    std::optional<Transaction> batch;
    std::int64_t n = 0;
    StoredFile written;
    try {
        written = readChunks(fd, shown, [&](const std::string& part) {
            if (!batch)
                batch.emplace(connection_);
            insert.bind(1, first.sha256);
            insert.bind(2, n++);
            insert.bindBlob(3, part);
            insert.step();
            insert.reset();
            if (n % kChunksPerTransaction == 0) {
                batch->commit();
                batch.reset();
                if (betweenTransactions)
                    betweenTransactions();
            }
        });
        if (batch)
            batch->commit();
        batch.reset();
        if (written.sha256 != first.sha256)
            throw FileRefused(FileRefused::Kind::ChangedWhileRead,
                              store_text::changedWhileRead(shown), shown);
        Transaction transaction(connection_);
        Statement chunks(connection_, "SELECT count(*), coalesce(sum(length(data)), 0) "
                                      "FROM download_chunks WHERE sha256 = ?");
        chunks.bind(1, written.sha256);
        chunks.step();
        if (chunks.integer(0) != n || chunks.integer(1) != written.size)
            throw StoredFileDeleted(store_text::deletedWhileStored(shown), shown);
        Statement row(connection_, "INSERT INTO download_files (sha256, size) VALUES (?, ?) "
                                   "ON CONFLICT DO NOTHING");
        row.bind(1, written.sha256);
        row.bind(2, written.size);
        row.step();
        transaction.commit();
    } catch (...) {
        batch.reset();
        dropChunksWithoutFile(first.sha256);
        throw;
    }
    return written;
}

void DownloadStore::dropChunksWithoutFile(const std::string& sha256) noexcept {
    try {
        Transaction transaction(connection_);
        Statement s(connection_, "DELETE FROM download_chunks WHERE sha256 = ?1 AND NOT EXISTS "
                                 "(SELECT 1 FROM download_files WHERE sha256 = ?1)");
        s.bind(1, sha256);
        s.step();
        transaction.commit();
    } catch (const std::exception&) {
        // The database fails as a whole: prune() removes them later.
    }
}

std::optional<StoredFile> DownloadStore::file(const std::string& sha256) {
    Statement s(connection_, "SELECT size FROM download_files WHERE sha256 = ?");
    s.bind(1, sha256);
    if (!s.step())
        return std::nullopt;
    return StoredFile{sha256, s.integer(0)};
}

void DownloadStore::writeTo(const std::string& sha256, int fd, const std::string& shown) {
    const auto stored = file(sha256);
    if (!stored)
        throw StoreError(store_text::noSuchFile(sha256));
    Statement s(connection_, "SELECT data FROM download_chunks WHERE sha256 = ? ORDER BY n");
    s.bind(1, sha256);
    std::int64_t written = 0;
    while (s.step()) {
        const std::string data = s.text(0);
        for (std::size_t done = 0; done < data.size();) {
            const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) // a write of nothing: the disk is full
                throw std::runtime_error(
                    store_text::cannotWrite(shown, systemErrorText(w < 0 ? errno : ENOSPC)));
            done += static_cast<std::size_t>(w);
        }
        written += static_cast<std::int64_t>(data.size());
    }
    if (written != stored->size)
        throw StoreError(store_text::fileIncomplete(sha256));
}

std::string DownloadStore::base() {
    Statement s(connection_, "SELECT base FROM download_settings");
    return s.step() ? s.text(0) : std::string();
}

void DownloadStore::setBase(const std::string& base) {
    Statement s(connection_, "INSERT INTO download_settings (\"only\", base) VALUES (1, ?) "
                             "ON CONFLICT (\"only\") DO UPDATE SET base = excluded.base");
    s.bind(1, base);
    s.step();
}

std::optional<std::string> DownloadStore::fileAt(Platform platform, const std::string& version,
                                                 const std::string& name) {
    Statement s(connection_, "SELECT sha256 FROM release_files WHERE platform = ? AND version = ? "
                             "AND name = ? LIMIT 1");
    s.bind(1, std::string(platformName(platform)));
    s.bind(2, version);
    s.bind(3, name);
    if (!s.step())
        return std::nullopt;
    return s.text(0);
}

std::vector<PublishedPath> DownloadStore::paths() {
    Statement s(connection_, "SELECT DISTINCT r.platform, r.version, r.name, r.sha256, f.size "
                             "FROM release_files r JOIN download_files f USING (sha256)");
    std::vector<PublishedPath> paths;
    while (s.step())
        paths.push_back(readPath(s));
    return paths;
}

std::optional<PublishedPath> DownloadStore::current(Platform platform) {
    Statement s(connection_,
                "SELECT r.platform, r.version, r.name, r.sha256, f.size FROM release_files r "
                "JOIN download_files f USING (sha256) WHERE r.platform = ?1 AND r.history = "
                "(SELECT change FROM release WHERE platform = ?1)");
    s.bind(1, std::string(platformName(platform)));
    if (!s.step())
        return std::nullopt;
    return readPath(s);
}

std::optional<PublishedPath> DownloadStore::linked(Platform platform) {
    // The fallback is the offer's (ReleaseStore::offer): the newest publish
    // before the live one that reached every network, unless a clear came
    // after it.
    Statement s(connection_,
                "SELECT r.platform, r.version, r.name, r.sha256, f.size FROM release_files r "
                "JOIN download_files f USING (sha256) WHERE r.platform = ?1 AND r.history = "
                "(SELECT CASE WHEN l.rollout >= 100 THEN l.change ELSE "
                "(SELECT h.id FROM release_history h WHERE h.platform = ?1 AND h.id < l.change "
                "AND (h.action = 'clear' OR h.reached_all = 1) ORDER BY h.id DESC LIMIT 1) END "
                "FROM release l WHERE l.platform = ?1)");
    s.bind(1, std::string(platformName(platform)));
    if (!s.step())
        return std::nullopt;
    return readPath(s);
}

std::vector<StoredFile> DownloadStore::prune() {
    Transaction transaction(connection_);
    std::vector<StoredFile> gone;
    {
        // Files no publish names, and the chunks of stores cut short.
        Statement s(connection_,
                    "SELECT sha256, size FROM download_files WHERE sha256 NOT IN "
                    "(SELECT sha256 FROM release_files) UNION ALL "
                    "SELECT sha256, sum(length(data)) FROM download_chunks WHERE sha256 NOT IN "
                    "(SELECT sha256 FROM download_files) GROUP BY sha256 ORDER BY sha256");
        while (s.step())
            gone.push_back({s.text(0), s.integer(1)});
    }
    for (const auto& f : gone) {
        for (const char* sql : {"DELETE FROM download_chunks WHERE sha256 = ?",
                                "DELETE FROM download_files WHERE sha256 = ?"}) {
            Statement s(connection_, sql);
            s.bind(1, f.sha256);
            s.step();
        }
    }
    transaction.commit();
    return gone;
}

} // namespace pelvoran::server

namespace pelvoran::server {

std::string keepCopy(DownloadStore& store, const std::string& dir, const StoredFile& file) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::create_directory(dir, ignored);
    const std::string path = dir + "/" + file.sha256;
    const auto there = copyOnDisk(path);
    if (there && there->sha256 == file.sha256 && there->size == file.size)
        return path;
    const std::string temp = path + ".part";
    try {
        Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0)
            throw std::runtime_error(store_text::cannotWrite(temp, systemErrorText(errno)));
        store.writeTo(file.sha256, out.get(), temp);
        syncFile(out.get(), temp);
        if (!out.close())
            throw std::runtime_error(store_text::cannotWrite(temp, systemErrorText(errno)));
        const auto written = copyOnDisk(temp);
        if (!written || written->sha256 != file.sha256)
            throw std::runtime_error(store_text::wrongDigestAfterWrite(temp));
        if (::rename(temp.c_str(), path.c_str()) != 0)
            throw std::runtime_error(store_text::cannotWrite(path, systemErrorText(errno)));
        const Fd directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory.get() >= 0)
            syncFile(directory.get(), dir);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    return path;
}

std::vector<std::string> removeOtherCopies(const std::string& dir,
                                           const std::vector<std::string>& kept) {
    namespace fs = std::filesystem;
    std::vector<std::string> removed;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (std::find(kept.begin(), kept.end(), name) != kept.end())
            continue;
        std::error_code gone;
        if (fs::remove(it->path(), gone))
            removed.push_back(name);
    }
    std::sort(removed.begin(), removed.end());
    return removed;
}

} // namespace pelvoran::server
