#pragma once

#include "server/http/web.h"
#include "server/release/release_file.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

/// A file the public listener serves, and its checked copy on disk.
struct ServedFile {
    ReleaseFile file;
    std::string version;
    std::string copy; // the copy's path
};

/// One "bytes=" range of a file of a known size.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

/// What a Range header asks of a file of `size` bytes: nullopt for the whole
/// file (no header, several ranges, or a header this strict matcher does not
/// take, which RFC 9110 lets a server ignore); a range with first > last
/// when none of it can be had (416).
std::optional<ByteRange> askedRange(std::string_view header, std::uint64_t size);

/// The answer to GET or HEAD of a served file: all of it (200), one range
/// of it (206, Content-Range), or 416 when the range lies past its end;
/// Range is taken only on GET, and only when If-Range, if any, names the
/// file's ETag (a date, or another ETag, gets the whole file). The file
/// goes out from its copy.
WebResponse downloadAnswer(const ServedFile& served, const WebRequest& request);

/// Whether `answer`, once sent whole, is a download: a GET whose answer
/// carries the whole file (never HEAD, never 416, never a range that leaves
/// out a byte: the end of a resumed transfer is not told from a client
/// that asks for the last byte again and again).
bool countsAsDownload(const WebRequest& request, const ServedFile& served,
                      const WebResponse& answer);

/// The files served now, by path (ReleaseFile's downloadPath), replaced
/// whole each time the published ones change. Read by every listener's
/// threads.
class DownloadShelf {
public:
    /// `files` served from now on; `live` those the public page links
    /// (DownloadStore::linked), one a platform at most.
    void set(std::vector<ServedFile> files, std::vector<ServedFile> live = {});
    std::optional<ServedFile> find(std::string_view path) const;
    /// The file the public page links for `platform`, if served here.
    std::optional<ServedFile> live(Platform platform) const;

private:
    struct Shelf {
        std::map<std::string, ServedFile, std::less<>> byPath;
        std::vector<ServedFile> live;
    };
    std::shared_ptr<const Shelf> shelf() const;
    mutable std::mutex mutex_;
    std::shared_ptr<const Shelf> shelf_ = std::make_shared<const Shelf>();
};

} // namespace pelvoran::server
