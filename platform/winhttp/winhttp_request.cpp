#include "platform/winhttp/winhttp_request.h"

#include "platform/errors.h"
#include "platform/http_request_common.h"
#include "platform/tool_agent.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>
#include <windows.h>
#include <winhttp.h>

namespace pelvoran {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw StepError(kComponentFailure, what);
}

class Handle final {
public:
    explicit Handle(HINTERNET h) : h_(h) {}
    ~Handle() {
        if (h_ != nullptr)
            WinHttpCloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

private:
    HINTERNET h_;
};

/// Header and address bytes as WinHTTP takes them: one wide character per
/// byte, so the bytes reach the wire as they are.
std::wstring widen(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::string narrow(const wchar_t* s, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out += s[i] < 0x100 ? static_cast<char>(s[i]) : '?';
    return out;
}

/// One address cut into what WinHTTP wants; only http and https.
struct Target {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring pathAndQuery;
};

Target crack(const std::string& wireUrl) {
    const std::wstring wide = widen(wireUrl);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts))
        fail("not an address: " + wireUrl);
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        fail("only http and https addresses");
    Target t;
    t.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    t.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    t.port = parts.nPort;
    t.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    t.pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (t.host.empty())
        fail("address without a host");
    if (t.pathAndQuery.empty() || t.pathAndQuery[0] != L'/')
        t.pathAndQuery.insert(t.pathAndQuery.begin(), L'/');
    return t;
}

/// The Location of a redirect against the address that gave it.
std::string resolveLocation(const std::string& base, const std::string& location) {
    const auto schemeEnd = location.find("://");
    if (schemeEnd != std::string::npos && location.find_first_of("/?#") > schemeEnd)
        return location; // absolute, any scheme: crack() refuses what is not http(s)
    const auto hostStart = base.find("://") + 3;
    const auto pathStart = base.find('/', hostStart);
    const std::string origin = base.substr(0, pathStart);
    if (location.starts_with("//"))
        return base.substr(0, hostStart - 2) + location;
    if (location.starts_with("/"))
        return origin + location;
    std::string dir = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    dir = dir.substr(0, dir.find_first_of("?#"));
    dir = dir.substr(0, dir.rfind('/') + 1);
    return origin + dir + location;
}

std::wstring queryText(HINTERNET request, DWORD what) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return {};
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    value.resize(size / sizeof(wchar_t));
    return value;
}

/// One whole exchange, redirects included, with everything it needs copied
/// in. It runs on a thread of its own so that the caller can give up at the
/// deadline even while WinHTTP waits on a server that sends a byte now and
/// then; the thread then finishes on its own, its waits bounded by the same
/// time limits, and nothing it touches belongs to the caller any more.
struct Exchange {
    /// How long an exchange sent ahead keeps its handles after its answer
    /// was taken: the window the answer was waited for shows meanwhile.
    static constexpr DWORD kCloseAfterTaken = 2000;

    HttpLimits limits;
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string bytes;
    bool hasBody = false;
    Clock::time_point deadline;

    int status = 0;
    std::string body;
    std::string contentType;
    /// The final reply's header lines, without its status line.
    std::vector<std::string> replyHeaders;
    std::string error; // empty on success

    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    /// Set by the caller once it has the answer, for an exchange sent ahead:
    /// its handles are closed only a while after that (or after the time
    /// limit), once the program that sent it ahead has shown its window.
    HANDLE taken = nullptr;
    // The handles of the last request sent. Under wine the first close loads
    // WinHTTP's certificate libraries: more work than a whole exchange on the
    // loopback, which at start-up would compete with the making and the
    // first paint of the main window.
    std::vector<std::unique_ptr<Handle>> open;

    ~Exchange() {
        if (done != nullptr)
            CloseHandle(done);
        if (taken != nullptr)
            CloseHandle(taken);
    }

    void run() {
        try {
            // Only a GET follows redirects; any other method completes with the 3xx.
            const int allowed = method == "GET" ? limits.maxRedirects : 0;
            std::string address = url;
            for (int redirects = 0;; ++redirects) {
                std::string location;
                once(address, location);
                if (location.empty() || allowed == 0)
                    break;
                if (redirects == allowed)
                    fail("too many redirects");
                address = resolveLocation(address, location);
            }
        } catch (const std::exception& e) {
            error = e.what();
            body.clear();
            body.shrink_to_fit();
        }
        SetEvent(done);
        if (taken != nullptr) {
            WaitForSingleObject(taken, static_cast<DWORD>(limits.totalTimeout.count()));
            Sleep(kCloseAfterTaken);
        }
        closeHandles();
    }

    void closeHandles() {
        while (!open.empty())
            open.pop_back(); // the request, then its connection, then the session
    }

    HINTERNET keep(HINTERNET h) {
        open.push_back(std::make_unique<Handle>(h));
        return h;
    }

    DWORD remainingMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            fail("the exchange took too long");
        return static_cast<DWORD>(left);
    }

    static void setTimeout(HINTERNET h, DWORD option, DWORD ms) {
        WinHttpSetOption(h, option, &ms, sizeof ms);
    }

    /// One request and its reply. Sets `location` when the reply is a
    /// redirect that may be followed; otherwise fills status and body.
    void once(const std::string& address, std::string& location) {
        const Target target = crack(address);
        closeHandles(); // those of the redirect that led here
        // The agent name goes out as User-Agent: the line the Linux component sends.
        const std::wstring agent = widen(toolAgent());
        const HINTERNET session =
            keep(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (session == nullptr)
            fail("cannot start WinHTTP");
        const DWORD left = remainingMs();
        const DWORD connect = std::min(left, static_cast<DWORD>(limits.connectTimeout.count()));
        WinHttpSetTimeouts(session, static_cast<int>(left), static_cast<int>(connect),
                           static_cast<int>(left), static_cast<int>(left));

        const HINTERNET connection =
            keep(WinHttpConnect(session, target.host.c_str(), target.port, 0));
        if (connection == nullptr)
            fail("cannot connect");
        const std::wstring verb = widen(method);
        const HINTERNET request = keep(
            WinHttpOpenRequest(connection, verb.c_str(), target.pathAndQuery.c_str(), nullptr,
                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                               WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                                   (target.secure ? WINHTTP_FLAG_SECURE : 0)));
        if (request == nullptr)
            fail("cannot open the request");
        limitRequest(request, left);
        sendAndWait(request, target);

        const DWORD code = replyStatus(request);
        if (code == 301 || code == 302 || code == 303 || code == 307 || code == 308) {
            const std::wstring where = queryText(request, WINHTTP_QUERY_LOCATION);
            location = narrow(where.data(), where.size());
            if (!location.empty() && method == "GET")
                return;
            location.clear();
        }
        readBody(request);
        status = static_cast<int>(code);
    }

    /// No redirects, cookies, authentication or keep-alive of WinHTTP's own,
    /// and the reply's limits.
    void limitRequest(HINTERNET request, DWORD left) const {
        DWORD disable = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES |
                        WINHTTP_DISABLE_AUTHENTICATION | WINHTTP_DISABLE_KEEP_ALIVE;
        WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        DWORD maxHeader = static_cast<DWORD>(limits.maxHeaderBytes);
        WinHttpSetOption(request, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &maxHeader,
                         sizeof maxHeader);
        // Bounds a server that accepts and never answers (the timeouts set
        // on the session do not, under wine).
        setTimeout(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, left);
    }

    /// Sends the headers and the body and waits for the reply's head.
    void sendAndWait(HINTERNET request, const Target& target) const {
        // Host and Accept first, then the caller's headers: the order the
        // Linux component sends.
        std::string host = "Host: ";
        host += narrow(target.host.data(), target.host.size());
        if (target.port != (target.secure ? 443 : 80)) {
            host += ':';
            host += std::to_string(target.port);
        }
        std::vector<std::string> lines{std::move(host), "Accept: */*"};
        for (const auto& [name, value] : headers)
            lines.push_back(name + ": " + value);
        for (const auto& line : lines) {
            const std::wstring wide = widen(line);
            if (!WinHttpAddRequestHeaders(request, wide.c_str(), static_cast<DWORD>(wide.size()),
                                          WINHTTP_ADDREQ_FLAG_ADD))
                fail("bad request header");
        }

        const auto size = static_cast<DWORD>(bytes.size());
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                hasBody ? const_cast<char*>(bytes.data()) : nullptr,
                                hasBody ? size : 0, hasBody ? size : 0, 0))
            fail("cannot send the request");
        const DWORD left = remainingMs();
        setTimeout(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, left);
        setTimeout(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, left);
        if (!WinHttpReceiveResponse(request, nullptr))
            fail("no reply");
        remainingMs();
    }

    /// The reply's status, once its head is known not to be too large; its
    /// header lines kept.
    DWORD replyStatus(HINTERNET request) {
        // The whole head, counted: WinHTTP under wine does not apply the
        // header size option.
        DWORD headBytes = 0;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &headBytes, WINHTTP_NO_HEADER_INDEX);
        if (headBytes / sizeof(wchar_t) > limits.maxHeaderBytes)
            fail("the reply's head is too large");
        keepHeaderLines(request, headBytes);
        DWORD code = 0;
        DWORD codeSize = sizeof code;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize,
                                 WINHTTP_NO_HEADER_INDEX))
            fail("reply without a status");
        return code;
    }

    /// The head's lines after the status line, as the Linux component keeps
    /// them: a reply that redirects is replaced by the next one's.
    void keepHeaderLines(HINTERNET request, DWORD headBytes) {
        replyHeaders.clear();
        std::wstring head(headBytes / sizeof(wchar_t) + 1, L'\0');
        DWORD size = static_cast<DWORD>(head.size() * sizeof(wchar_t));
        if (headBytes == 0 || !WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                                   WINHTTP_HEADER_NAME_BY_INDEX, head.data(), &size,
                                                   WINHTTP_NO_HEADER_INDEX))
            return;
        head.resize(size / sizeof(wchar_t));
        const std::string text = narrow(head.data(), head.size());
        std::size_t start = text.find("\r\n"); // past the status line
        while (start != std::string::npos) {
            start += 2;
            const std::size_t end = text.find("\r\n", start);
            const std::string line =
                text.substr(start, end == std::string::npos ? end : end - start);
            if (!line.empty())
                replyHeaders.push_back(line + "\r\n");
            start = end;
        }
    }

    /// Reads the body, within the size limit and the deadline.
    void readBody(HINTERNET request) {
        const std::wstring length = queryText(request, WINHTTP_QUERY_CONTENT_LENGTH);
        const unsigned long long announced =
            length.empty() ? 0 : std::wcstoull(length.c_str(), nullptr, 10);
        if (length.size() > 12 || announced > limits.maxBodyBytes)
            fail("the reply is too large");
        body.clear();
        char buf[16384];
        for (;;) {
            setTimeout(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, remainingMs());
            DWORD got = 0;
            if (!WinHttpReadData(request, buf, sizeof buf, &got))
                fail("the reply broke off");
            if (got == 0)
                break;
            if (body.size() + got > limits.maxBodyBytes)
                fail("the reply is too large");
            body.append(buf, got);
        }
        // A connection that ends before the announced length is a broken
        // reply, even where WinHTTP reports a plain end.
        if (!length.empty() && body.size() != announced)
            fail("the reply broke off");
        remainingMs();
        const std::wstring type = queryText(request, WINHTTP_QUERY_CONTENT_TYPE);
        contentType = narrow(type.data(), type.size());
    }
};

/// Starts an exchange on a thread of its own; its deadline counts from now.
std::shared_ptr<Exchange> start(const HttpLimits& limits, std::string method, std::string url,
                                std::vector<std::pair<std::string, std::string>> headers,
                                std::optional<std::string> body, bool sentAhead = false) {
    auto exchange = std::make_shared<Exchange>();
    if (sentAhead)
        exchange->taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (exchange->done == nullptr || (sentAhead && exchange->taken == nullptr))
        fail("cannot wait for the exchange");
    exchange->hasBody = body.has_value();
    exchange->bytes = std::move(body).value_or(std::string());
    exchange->limits = limits;
    exchange->method = std::move(method);
    exchange->url = std::move(url);
    exchange->headers = std::move(headers);
    exchange->deadline = Clock::now() + limits.totalTimeout;
    std::thread([exchange] { exchange->run(); }).detach();
    return exchange;
}

/// The address without its query: what a request sent ahead must match.
std::string_view withoutQuery(std::string_view url) {
    return url.substr(0, url.find_first_of("?#"));
}

/// The GET sent ahead, until a request takes it.
struct SentAhead {
    std::string url;
    std::mutex taking;
    std::shared_ptr<Exchange> exchange;

    /// The exchange, for the first request that matches it.
    std::shared_ptr<Exchange> take(const std::string& method, const std::string& address) {
        const std::lock_guard lock(taking);
        if (exchange == nullptr || method != "GET" || withoutQuery(address) != withoutQuery(url))
            return nullptr;
        return std::exchange(exchange, nullptr);
    }
};

class WinHttpRequest final : public PreparedHttpRequest {
public:
    // WinHTTP writes the verb into the request line as it is given: a blank
    // in it would split that line.
    WinHttpRequest(HttpLimits limits, std::shared_ptr<SentAhead> ahead)
        : PreparedHttpRequest(limits, " \t"), ahead_(std::move(ahead)) {}

    void send(std::optional<Text> body) override {
        std::string bytes = bodyToSend(body);
        std::shared_ptr<Exchange> exchange;
        if (ahead_ != nullptr && !body.has_value() && headers().empty())
            exchange = ahead_->take(method(), url());
        if (exchange == nullptr)
            exchange = start(limits(), method(), url(), headers(),
                             body.has_value() ? std::optional(std::move(bytes)) : std::nullopt);

        // A little grace past the deadline: the thread notices it itself
        // between two reads, and then reports why it stopped.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(exchange->deadline - Clock::now())
                .count();
        const auto wait = static_cast<DWORD>(std::max<long long>(left, 0) + 250);
        const bool answered = WaitForSingleObject(exchange->done, wait) == WAIT_OBJECT_0;
        if (exchange->taken != nullptr)
            SetEvent(exchange->taken);
        if (!answered)
            fail("the exchange took too long");
        if (!exchange->error.empty())
            fail(exchange->error);
        complete(exchange->status, std::move(exchange->body), std::move(exchange->contentType),
                 std::move(exchange->replyHeaders));
    }

private:
    std::shared_ptr<SentAhead> ahead_;
};

} // namespace

HttpRequestFactory winHttpRequestFactory(HttpLimits limits) {
    return [limits]() -> std::unique_ptr<HttpRequest> {
        return std::make_unique<WinHttpRequest>(limits, nullptr);
    };
}

HttpRequestFactory winHttpRequestFactorySendingAhead(const Text& url, HttpLimits limits) {
    auto ahead = std::make_shared<SentAhead>();
    ahead->url = urlForWire(url);
    try {
        ahead->exchange = start(limits, "GET", ahead->url, {}, std::nullopt, true);
    } catch (const StepError&) {
        ahead->exchange = nullptr; // sent when asked, as by the plain factory
    }
    return [limits, ahead]() -> std::unique_ptr<HttpRequest> {
        return std::make_unique<WinHttpRequest>(limits, ahead);
    };
}

} // namespace pelvoran
