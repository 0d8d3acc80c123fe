#include "server/notify/notify.h"

#include "server/comments/comment_export.h"
#include "server/notify/notify_texts.h"
#include "server/support/time_text.h"

#include "platform/hex.h"
#include "platform/openssl_support.h"
#include "platform/text.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace pelvoran::server {
namespace {

using openssl::base64;
using std::chrono::milliseconds;

/// RFC 2047 allows 75 characters a word: "=?UTF-8?B?" and "?=" take 12, and
/// 60 characters of base64 carry 45 bytes.
constexpr std::size_t kWordBytes = 45;

/// Base64 in lines of 76 characters, each ending in CRLF (RFC 2045).
std::string base64Lines(std::string_view bytes) {
    const std::string all = base64(bytes);
    std::string out;
    for (std::size_t at = 0; at < all.size(); at += 76)
        out += all.substr(at, 76) + "\r\n";
    return out;
}

/// "Tue, 08 Dec 2026 03:10:12 +0000", whatever the locale.
std::string mailDate(std::chrono::sys_seconds time) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday % 7],
                  tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

std::string mail(const std::string& address, const std::string& subject, const std::string& text,
                 std::chrono::sys_seconds now) {
    const auto at = address.rfind('@');
    const std::string domain = at == std::string::npos ? "localhost" : address.substr(at + 1);
    return "Date: " + mailDate(now) + "\r\nFrom: <" + address + ">\r\nTo: <" + address +
           ">\r\nMessage-ID: <" + std::to_string(std::chrono::system_clock::to_time_t(now)) + "." +
           openssl::randomHex(8) + "@" + domain + ">\r\nSubject: " + encodedWords(subject) +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: base64\r\nAuto-Submitted: auto-generated\r\n\r\n" +
           base64Lines(text);
}

/// Lines of the mail's text, with CRLF.
std::string lines(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& p : parts)
        out += p + "\r\n";
    return out;
}

/// A comment's text with CRLF line breaks, as a mail's text has them.
std::string mailText(TextView text) {
    std::string out;
    for (const char c : toUtf8(text)) {
        if (c == '\r')
            continue;
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string curlError(CURLcode rc, const char* detail) {
    return notify_text::connectionFailed(*detail != '\0' ? detail : curl_easy_strerror(rc));
}

struct Upload {
    std::string_view data;
    std::size_t at = 0;
};

std::size_t readUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* up = static_cast<Upload*>(user);
    const std::size_t n = std::min(size * count, up->data.size() - up->at);
    std::copy_n(up->data.data() + up->at, n, buffer);
    up->at += n;
    return n;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

/// The "user:password@host:port" part of a URL; empty when it has none.
std::string_view authority(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    const std::string_view rest = url.substr(scheme + 3);
    return rest.substr(0, rest.find_first_of("/?#"));
}

int progress(void* abandon, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(abandon)->load() ? 1 : 0;
}

} // namespace

milliseconds RetrySchedule::delayAfter(std::int64_t failures) const {
    const milliseconds cap = first * 360;
    milliseconds d = first;
    for (std::int64_t i = 1; i < failures && d < cap; ++i)
        d *= 2;
    return std::min(d, cap);
}

bool RetrySchedule::givesUp(milliseconds age) const {
    return age > first * 8640;
}

milliseconds RetrySchedule::sendTimeout() const {
    return std::clamp(first, milliseconds(1000), milliseconds(10000));
}

std::string hmacSha256Hex(std::string_view key, std::string_view data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &size);
    std::string out;
    for (unsigned int i = 0; i < size; ++i)
        appendHex(out, mac[i], 2, HexCase::Lower);
    return out;
}

std::string webhookSignature(std::string_view secret, std::string_view body) {
    return "sha256=" + hmacSha256Hex(secret, body);
}

std::string commentLink(const std::string& adminBase, std::int64_t id) {
    if (adminBase.empty())
        return "";
    std::string base = adminBase;
    while (base.ends_with('/'))
        base.pop_back();
    return base + "/comment?id=" + std::to_string(id);
}

std::string encodedWords(std::string_view utf8) {
    const bool plain =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return c >= 0x20 && c < 0x7F; }) &&
        utf8.find("=?") == std::string_view::npos;
    if (plain)
        return std::string(utf8);
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        std::size_t end = std::min(at + kWordBytes, utf8.size());
        // Back to the start of a character: continuation bytes are 10xxxxxx.
        while (end < utf8.size() && end > at + 1 &&
               (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(utf8.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

std::string notificationMail(const StoredComment& c, const std::string& link,
                             const std::string& address, std::chrono::sys_seconds now) {
    const std::string id = std::to_string(c.id);
    const std::string text =
        lines({notify_text::mailNewComment(id), "", notify_text::kMailNumber + id,
               notify_text::mailTime(localTimeText(c.received), isoUtc(c.received)),
               notify_text::mailSource(sourceName(c.source), c.flagged),
               notify_text::kMailLink +
                   (link.empty() ? std::string(notify_text::kNoAdminBase) : link),
               "", notify_text::kMailComment}) +
        mailText(c.text) + "\r\n";
    return mail(address, notify_text::mailSubject(id), text, now);
}

std::string testMail(const std::string& address, std::chrono::sys_seconds now) {
    return mail(address, notify_text::kTestSubject,
                lines({notify_text::kTestNotice, notify_text::kTestMeaning}), now);
}

StoredComment testComment(std::chrono::sys_seconds now) {
    return {0, now, fromUtf8Lenient(notify_text::kTestNotice), "test", false, false};
}

bool isLoopbackHost(std::string_view host) {
    if (host == "localhost")
        return true;
    if (host.starts_with('[') && host.ends_with(']')) {
        const std::string literal(host.substr(1, host.size() - 2));
        in6_addr a{};
        return inet_pton(AF_INET6, literal.c_str(), &a) == 1 &&
               std::memcmp(&a, &in6addr_loopback, sizeof a) == 0;
    }
    // Four decimal parts and nothing else: what inet_pton takes is what
    // the resolver takes as an address, never a name /etc/hosts or DNS maps.
    const std::string literal(host);
    in_addr a{};
    return inet_pton(AF_INET, literal.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string urlHost(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return "";
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos)
        rest = rest.substr(at + 1);
    if (rest.starts_with('['))
        return std::string(rest.substr(0, rest.find(']') + 1));
    return std::string(rest.substr(0, rest.find(':')));
}

bool hasUserInfo(std::string_view url) {
    return authority(url).find('@') != std::string_view::npos;
}

std::string shownAddress(std::string_view url) {
    if (!hasUserInfo(url))
        return std::string(url);
    const std::string_view a = authority(url);
    const auto start = static_cast<std::size_t>(a.data() - url.data());
    const std::size_t host = start + a.rfind('@') + 1;
    return std::string(url.substr(0, start)) + "***@" + std::string(url.substr(host));
}

std::string logName(const Recipient& r) {
    return "#" + std::to_string(r.id) + "（" + kindText(r.kind) + " " +
           (r.kind == NotifyKind::Email ? r.address : urlHost(r.address)) + "）";
}

std::string spanText(std::chrono::seconds span) {
    const std::int64_t seconds = span.count();
    const auto part = [](std::int64_t n, const char* unit) {
        return std::to_string(n) + " " + unit;
    };
    if (seconds < 60)
        return part(std::max<std::int64_t>(seconds, 0), notify_text::kSecondsUnit);
    if (seconds < 3600)
        return part(seconds / 60, notify_text::kMinutesUnit);
    if (seconds < 86400)
        return part(seconds / 3600, notify_text::kHoursUnit) +
               (seconds % 3600 / 60 > 0 ? " " + part(seconds % 3600 / 60, notify_text::kMinutesUnit)
                                        : "");
    return part(seconds / 86400, notify_text::kDaysUnit) +
           (seconds % 86400 / 3600 > 0 ? " " + part(seconds % 86400 / 3600, notify_text::kHoursUnit)
                                       : "");
}

std::string streakText(const OutboxStore::Streak& streak, std::chrono::sys_seconds now) {
    return notify_text::streakSummary(streak.failures, spanText(now - streak.since),
                                      streak.waiting);
}

bool isPlainAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool isWebAddress(const std::string& url) {
    return (url.starts_with("https://") || url.starts_with("http://")) && isPlainAscii(url) &&
           !urlHost(url).empty();
}

bool isMailAddress(const std::string& a) {
    const auto at = a.find('@');
    return isPlainAscii(a) && at != std::string::npos && at > 0 && at + 1 < a.size() &&
           a.find('@', at + 1) == std::string::npos &&
           a.find_first_of("<>()[],;:\"\\") == std::string::npos;
}

std::optional<std::string> send(const Delivery& to, const std::string& payload,
                                milliseconds timeout, const std::atomic<bool>* abandon) {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    // One handle a thread, reset for each send: the connection to a
    // recipient stays open between sends (keep-alive) and TLS sessions are
    // resumed, which costs both sides far less than a new one each time.
    thread_local const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                                &curl_easy_cleanup);
    if (!curl)
        return notify_text::kCannotPrepare;
    CURL* h = curl.get();
    curl_easy_reset(h);
    // Nothing of this call (buffers, lists) stays set in the handle past it.
    const std::unique_ptr<CURL, decltype(&curl_easy_reset)> resetAfter(h, &curl_easy_reset);
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    if (abandon != nullptr) {
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(abandon));
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, &curl_slist_free_all);
    const auto add = [&](const std::string& item) {
        list.reset(curl_slist_append(list.release(), item.c_str()));
    };
    Upload upload{payload};
    if (to.kind == NotifyKind::Webhook) {
        curl_easy_setopt(h, CURLOPT_URL, to.address.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(h, CURLOPT_USERAGENT, "pelvoran-server");
        add("Content-Type: application/json");
        add("X-Pelvoran-Signature: " + webhookSignature(to.secret, payload));
        add("Expect:");
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    } else {
        curl_easy_setopt(h, CURLOPT_URL, to.smtp.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        // TLS, its certificate checked, unless the SMTP server is on this
        // machine and the URL says smtp://.
        const bool plainAllowed =
            to.smtp.starts_with("smtp://") && isLoopbackHost(urlHost(to.smtp));
        curl_easy_setopt(h, CURLOPT_USE_SSL, plainAllowed ? CURLUSESSL_TRY : CURLUSESSL_ALL);
        if (!to.caFile.empty())
            curl_easy_setopt(h, CURLOPT_CAINFO, to.caFile.c_str());
        if (!to.user.empty()) {
            curl_easy_setopt(h, CURLOPT_USERNAME, to.user.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, to.secret.c_str());
        }
        const std::string from = "<" + to.address + ">";
        curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
        add(from);
        curl_easy_setopt(h, CURLOPT_MAIL_RCPT, list.get());
        curl_easy_setopt(h, CURLOPT_READFUNCTION, readUpload);
        curl_easy_setopt(h, CURLOPT_READDATA, &upload);
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    }
    if (const CURLcode rc = curl_easy_perform(h); rc != CURLE_OK)
        return curlError(rc, detail);
    if (to.kind == NotifyKind::Webhook) {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299)
            return notify_text::refusedWith(status);
    }
    return std::nullopt;
}

std::optional<std::string> notify(const Delivery& to, const StoredComment& c,
                                  const std::string& adminBase, milliseconds timeout,
                                  const std::atomic<bool>* abandon) {
    const std::string link = commentLink(adminBase, c.id);
    const auto now = secondsNow();
    return send(to,
                to.kind == NotifyKind::Webhook ? notificationJson(c, link)
                                               : notificationMail(c, link, to.address, now),
                timeout, abandon);
}

} // namespace pelvoran::server
