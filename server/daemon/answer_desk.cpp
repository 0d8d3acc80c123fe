#include "server/daemon/answer_desk.h"

#include "server/daemon/daemon_texts.h"
#include "server/release/release_signing.h"
#include "server/store/store.h"

#include "platform/openssl_support.h"

#include <optional>
#include <utility>
#include <vector>

namespace pelvoran::server {
namespace {

/// The lines of a body of 1 to kMostSecrets lines, LF-separated, a last LF
/// allowed; nullopt for anything else.
std::optional<std::vector<std::string_view>> linesOf(std::string_view body) {
    if (body.empty() || body.size() > kMostAnswerBody)
        return std::nullopt;
    if (body.back() == '\n')
        body.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (;;) {
        const auto end = body.find('\n');
        lines.push_back(body.substr(0, end));
        if (lines.size() > kMostSecrets)
            return std::nullopt;
        if (end == std::string_view::npos)
            return lines;
        body.remove_prefix(end + 1);
    }
}

WebResponse plain(unsigned status, std::string body) {
    WebResponse r{status, "text/plain; charset=utf-8", std::move(body), {}};
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse badRequest() {
    return plain(400, daemon_text::kBadAnswerRequest);
}

} // namespace

AnswerDesk::AnswerDesk(std::string database, std::string privatePem)
    : location_(std::move(database)), privatePem_(std::move(privatePem)) {}

AnswerDesk::~AnswerDesk() = default;

Database& AnswerDesk::database() {
    if (!db_)
        db_ = std::make_unique<Database>(location_);
    return *db_;
}

WebResponse AnswerDesk::fetch(std::string_view body) {
    const auto lines = linesOf(body);
    if (!lines)
        return badRequest();
    std::vector<std::string> keys;
    for (const std::string_view line : *lines) {
        auto key = replyKeyOfSecret(line);
        if (!key)
            return badRequest();
        keys.push_back(std::move(*key));
    }
    std::vector<FoundAnswer> found;
    try {
        const std::lock_guard lock(mutex_);
        try {
            found = database().answers().forKeys(keys, secondsNow() - kAnswerKept);
        } catch (...) {
            db_.reset(); // opened again at the next request
            throw;
        }
    } catch (const StoreError& e) {
        return plain(503, daemon_text::answersUnavailable(e.said()));
    }
    std::string reply;
    for (const FoundAnswer& a : found) {
        const std::string text = toUtf8(a.text);
        reply += std::to_string(a.number) + '\t' + a.key + '\t' +
                 signMessage(privatePem_, answerMessage(a.number, a.key, text)) + '\t' +
                 openssl::base64Url(text) + '\n';
    }
    return plain(200, std::move(reply));
}

WebResponse AnswerDesk::seen(std::string_view body) {
    const auto lines = linesOf(body);
    if (!lines)
        return badRequest();
    std::vector<std::pair<std::string, std::string>> shown; // key, text hash
    for (const std::string_view line : *lines) {
        const auto tab = line.find('\t');
        auto key = replyKeyOfSecret(line.substr(0, tab));
        if (tab == std::string_view::npos || !key || !isReplyKey(line.substr(tab + 1)))
            return badRequest();
        shown.emplace_back(std::move(*key), std::string(line.substr(tab + 1)));
    }
    try {
        const std::lock_guard lock(mutex_);
        try {
            for (const auto& [key, hash] : shown)
                database().answers().markDelivered(key, hash, secondsNow());
        } catch (...) {
            db_.reset();
            throw;
        }
    } catch (const StoreError& e) {
        return plain(503, daemon_text::answersUnavailable(e.said()));
    }
    return plain(204, "");
}

} // namespace pelvoran::server
