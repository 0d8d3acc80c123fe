#include "server/admin/admin_session.h"

#include "server/admin/admin_texts.h"
#include "server/support/digest.h"

#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/state_files.h"

#include "platform/openssl_support.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

constexpr char kCookie[] = "pelvoran_admin";

std::string cookieValue(std::string_view header, std::string_view name) {
    std::string_view rest = header;
    while (!rest.empty()) {
        const auto semi = rest.find(';');
        std::string_view pair = rest.substr(0, semi);
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
    }
    return "";
}

} // namespace

std::string stateToken(const std::string& stateDir, const char* name) {
    const fs::path path = fs::path(stateDir) / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string token = openssl::randomHex(24);
        const bool written =
            ::write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size()) &&
            ::fsync(fd) == 0;
        ::close(fd);
        if (!written) {
            ::unlink(path.c_str());
            throw std::runtime_error(path.string() + admin_text::kCannotWrite);
        }
        return token;
    }
    if (errno != EEXIST)
        throw std::runtime_error(path.string() + "：" + systemErrorText(errno));
    std::ifstream in(path);
    std::string token(std::istreambuf_iterator<char>(in), {});
    while (!token.empty() && (token.back() == '\n' || token.back() == ' '))
        token.pop_back();
    if (token.size() < 16)
        throw std::runtime_error(path.string() + admin_text::kTokenTooShort);
    return token;
}

bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

AdminSessions::AdminSessions(std::string database, Limits limits, const Clock& clock)
    : database_(std::move(database)), limits_(limits), clock_(clock) {}

std::string AdminSessions::mint() {
    const std::string code = openssl::randomHex(32);
    Database(database_).sessions().addCode(sha256Hex("signin:" + code),
                                           clock_.now() + limits_.codeLife, limits_.codes);
    return code;
}

std::optional<AdminSessions::Session> AdminSessions::find(const WebRequest& request) {
    const std::string id = cookieValue(request.cookie, kCookie);
    if (id.empty())
        return std::nullopt;
    const std::string key = sha256Hex("session:" + id);
    if (!Database(database_).sessions().use(key, clock_.now()))
        return std::nullopt;
    return Session{key, sha256Hex("csrf:" + id)};
}

std::optional<std::string> AdminSessions::start(const WebRequest& request) {
    const std::string code = value(request.query, kSignInField);
    if (code.empty())
        return std::nullopt;
    const std::string id = openssl::randomHex(32);
    const MillisTime now = clock_.now();
    if (!Database(database_).sessions().trade(sha256Hex("signin:" + code), now,
                                              sha256Hex("session:" + id), now + limits_.life,
                                              limits_.sessions))
        return std::nullopt;
    return std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string AdminSessions::end(const Session& session) {
    Database(database_).sessions().end(session.key);
    return std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
}

bool bearerIs(const WebRequest& request, std::string_view token) {
    constexpr std::string_view kBearer = "Bearer ";
    const std::string_view given = request.authorization;
    return !token.empty() && given.starts_with(kBearer) &&
           sameSecret(given.substr(kBearer.size()), token);
}

AdminSessions::PostCheck AdminSessions::checkPost(const WebRequest& request,
                                                  const Session& session) {
    // Behind an HTTPS proxy the browser's origin is https://host.
    if (!request.origin.empty() && request.origin != request.scheme + "://" + request.host)
        return PostCheck::OtherOrigin;
    const auto form = parseForm(request.body);
    if (!sameSecret(value(form, "csrf"), session.csrf))
        return PostCheck::StaleForm;
    return PostCheck::Allowed;
}

} // namespace pelvoran::server
