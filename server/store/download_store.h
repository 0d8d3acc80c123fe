#pragma once

#include "server/engine/store_error.h"
#include "server/release/release_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

class Connection;

/// A file the publisher gave that cannot be kept: unreadable, not a
/// regular file, too large, changed while it was read. what() says why for
/// the log, naming the file; the rest says it to those who word it for
/// people.
class FileRefused : public std::runtime_error {
public:
    enum class Kind {
        CannotRead,       // detail: why
        NotRegular,       // not a regular file
        TooLarge,         // size: its bytes; limit: the most taken
        ChangedWhileRead, // its digest changed between two reads
    };

    /// `file`: as the refusal names it.
    FileRefused(Kind kind, const std::string& what, std::string file, std::string detail = "",
                std::int64_t size = 0, std::uint64_t limit = 0)
        : std::runtime_error(what), kind_(kind), file_(std::move(file)), detail_(std::move(detail)),
          size_(size), limit_(limit) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& file() const noexcept { return file_; }
    const std::string& detail() const noexcept { return detail_; }
    std::int64_t size() const noexcept { return size_; }
    std::uint64_t limit() const noexcept { return limit_; }

private:
    Kind kind_;
    std::string file_, detail_;
    std::int64_t size_;
    std::uint64_t limit_;
};

/// A file whose chunks another connection deleted while they were written
/// (a prune of files no publish names): nothing of it is kept, and a
/// publish of it may simply be tried again. what() says so, naming it.
class StoredFileDeleted : public StoreError {
public:
    StoredFileDeleted(const std::string& what, std::string file)
        : StoreError(what), file_(std::move(file)) {}

    const std::string& file() const noexcept { return file_; }

private:
    std::string file_;
};

/// What `serve` and `release set` take unless told otherwise.
inline constexpr std::uint64_t kDefaultMaxDownloadSize = std::uint64_t{1} << 30;
/// Chunks (1 MiB each) a store writes in one transaction: what a comment
/// committed meanwhile may wait for.
inline constexpr std::int64_t kChunksPerTransaction = 8;

/// One stored file, by its digest.
struct StoredFile {
    std::string sha256;
    std::int64_t size = 0;
};

/// A path some publish of the history named, and its file.
struct PublishedPath {
    ReleaseFile file;
    std::string version;
};

/// The files the server serves, kept whole in the database (chunks of at
/// most 1 MiB, each a row), and the base address their paths are published
/// under.
class DownloadStore {
public:
    explicit DownloadStore(Connection& connection) : connection_(connection) {}

    /// Reads the regular file open on `fd` into the database, a few chunks
    /// a transaction (`betweenTransactions` is called between two); it is
    /// there whole or not at all. A file that is there already is not
    /// written again. Throws FileRefused when it is over `maxSize` (before a
    /// byte is copied) or changed while read (`shown` names it),
    /// StoredFileDeleted when a prune took its chunks meanwhile, StoreError
    /// when the database fails.
    StoredFile store(int fd, std::uint64_t maxSize, const std::string& shown,
                     const std::function<void()>& betweenTransactions = {});
    std::optional<StoredFile> file(const std::string& sha256);
    /// Writes the file's bytes to `fd`, a chunk at a time. Throws
    /// StoreError when it is not there, std::runtime_error when a write fails.
    void writeTo(const std::string& sha256, int fd, const std::string& shown);

    /// The address paths are published under; empty when never given.
    std::string base();
    void setBase(const std::string& base);

    /// The file a publish already put at the path, if one did.
    std::optional<std::string> fileAt(Platform platform, const std::string& version,
                                      const std::string& name);
    /// Every path some publish named.
    std::vector<PublishedPath> paths();
    /// The file served for the release published now on `platform`: the
    /// newest publish or clear of the history, when it is a publish with a file.
    std::optional<PublishedPath> current(Platform platform);
    /// The file the public page links for `platform`: that of the release
    /// out to every network (the live one at 100 %, else the one the
    /// networks outside its rollout get), when it has one. A staged or
    /// halted release is linked nowhere public.
    std::optional<PublishedPath> linked(Platform platform);

    /// Deletes the files no publish of the history names, and the chunks
    /// of stores cut short; what it deleted.
    std::vector<StoredFile> prune();

private:
    void dropChunksWithoutFile(const std::string& sha256) noexcept;

    Connection& connection_;
};

/// Makes `dir`/<sha256> (`dir` created when missing) a whole copy of the
/// stored file: one whose size and digest are right is kept, anything else
/// is written anew from the database through a temporary file, synced and
/// renamed. Its path. Throws std::runtime_error (StoreError) on a failure.
std::string keepCopy(DownloadStore& store, const std::string& dir, const StoredFile& file);

/// Removes from `dir` every file that is not the copy of one in `kept` (by
/// SHA-256): leftovers of files pruned and of interrupted writes. The names
/// removed.
std::vector<std::string> removeOtherCopies(const std::string& dir,
                                           const std::vector<std::string>& kept);

} // namespace pelvoran::server
