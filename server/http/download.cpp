#include "server/http/download.h"

#include "server/http/http_texts.h"

#include <charconv>

namespace pelvoran::server {
namespace {

/// All of `text` as a decimal number; nullopt for anything else (a sign,
/// blanks, an overflow).
std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return n;
}

constexpr ByteRange kUnsatisfiable{1, 0};

} // namespace

std::optional<ByteRange> askedRange(std::string_view header, std::uint64_t size) {
    constexpr std::string_view kUnit = "bytes=";
    if (!header.starts_with(kUnit))
        return std::nullopt;
    const std::string_view asked = header.substr(kUnit.size());
    const std::size_t dash = asked.find('-');
    if (dash == std::string_view::npos || asked.find(',') != std::string_view::npos)
        return std::nullopt;
    const std::string_view from = asked.substr(0, dash), to = asked.substr(dash + 1);
    if (from.empty()) { // the last `to` bytes
        const auto n = decimal(to);
        if (!n)
            return std::nullopt;
        if (*n == 0 || size == 0)
            return kUnsatisfiable;
        return ByteRange{size - std::min(*n, size), size - 1};
    }
    const auto first = decimal(from);
    const auto last = to.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : decimal(to);
    if (!first || !last || *first > *last)
        return std::nullopt; // not a valid range: the header is ignored
    if (*first >= size)
        return kUnsatisfiable;
    return ByteRange{*first, std::min(*last, size - 1)};
}

WebResponse downloadAnswer(const ServedFile& served, const WebRequest& request) {
    const auto size = static_cast<std::uint64_t>(served.file.size);
    const std::string etag = "\"" + served.file.sha256 + "\"";
    std::optional<ByteRange> range;
    if (request.method == "GET" && (request.ifRange.empty() || request.ifRange == etag))
        range = askedRange(request.range, size);
    WebResponse w;
    w.headers = {{"ETag", etag},
                 {"Accept-Ranges", "bytes"},
                 {"Cache-Control", "public, max-age=31536000, immutable"},
                 {"X-Content-Type-Options", "nosniff"}};
    if (range && range->first > range->last) {
        const WebResponse text = textResponse(416, http_text::kRangePastEnd);
        w.status = text.status;
        w.type = text.type;
        w.body = text.body;
        w.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return w;
    }
    w.type = "application/octet-stream";
    w.headers.emplace_back("Content-Disposition",
                           "attachment; filename=\"" + served.file.name + "\"");
    const ByteRange part = range.value_or(ByteRange{0, size - 1});
    if (range) {
        w.status = 206;
        w.headers.emplace_back("Content-Range", "bytes " + std::to_string(part.first) + "-" +
                                                    std::to_string(part.last) + "/" +
                                                    std::to_string(size));
    }
    w.file = FilePart{served.copy, part.first, size == 0 ? 0 : part.last - part.first + 1};
    return w;
}

bool countsAsDownload(const WebRequest& request, const ServedFile& served,
                      const WebResponse& answer) {
    return request.method == "GET" && answer.file && answer.file->offset == 0 &&
           answer.file->length == static_cast<std::uint64_t>(served.file.size);
}

void DownloadShelf::set(std::vector<ServedFile> files, std::vector<ServedFile> live) {
    auto shelf = std::make_shared<Shelf>();
    for (auto& f : files) {
        std::string path = downloadPath(f.file.platform, f.version, f.file.name);
        shelf->byPath.emplace(std::move(path), std::move(f));
    }
    shelf->live = std::move(live);
    const std::lock_guard lock(mutex_);
    shelf_ = std::move(shelf);
}

std::shared_ptr<const DownloadShelf::Shelf> DownloadShelf::shelf() const {
    const std::lock_guard lock(mutex_);
    return shelf_;
}

std::optional<ServedFile> DownloadShelf::find(std::string_view path) const {
    const auto now = shelf();
    const auto it = now->byPath.find(path);
    if (it == now->byPath.end())
        return std::nullopt;
    return it->second;
}

std::optional<ServedFile> DownloadShelf::live(Platform platform) const {
    for (const auto& f : shelf()->live)
        if (f.file.platform == platform)
            return f;
    return std::nullopt;
}

} // namespace pelvoran::server
