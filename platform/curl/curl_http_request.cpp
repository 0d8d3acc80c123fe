#include "platform/curl/curl_http_request.h"

#include "platform/errors.h"

#include <algorithm>
#include <cctype>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran {
namespace {

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool hasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

[[noreturn]] void fail(const std::string& what) {
    throw StepError(kComponentFailure, what);
}

class CurlHttpRequest final : public HttpRequest {
public:
    explicit CurlHttpRequest(HttpLimits limits) : limits_(limits) {}

    void Open(std::string_view method, const Text& url, bool async) override {
        if (async)
            fail("asynchronous requests are not supported");
        reset();
        method_ = std::string(method);
        std::transform(method_.begin(), method_.end(), method_.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (method_.empty() || hasLineBreakOrNul(method_))
            fail("bad request method");
        url_ = urlForWire(url);
        state_ = 1;
    }

    void setRequestHeader(std::string_view name, std::string_view value) override {
        if (state_ != 1)
            fail("setRequestHeader before Open");
        if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value) ||
            name.find(':') != std::string_view::npos)
            fail("bad request header");
        headers_.emplace_back(name, value);
    }

    void send(std::optional<Text> body) override {
        if (state_ != 1)
            fail("send before Open");
        const std::string bytes = body ? toUtf8(*body) : std::string();
        checkContentLength(bytes, body.has_value());

        std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
        if (!curl)
            fail("cannot start a transfer");
        CURL* c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(limits_.connectTimeout.count()));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits_.totalTimeout.count()));
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // Only a GET follows redirects. A POST is never replayed: a follow-up
        // would go out as a GET that still carries the post's headers, and a
        // server that believes its Content-Length waits for a body that never
        // comes. A 3xx answer to a POST completes the exchange instead.
        const bool get = method_ == "GET" && !body;
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, get ? 1L : 0L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, limits_.maxRedirects);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlHttpRequest::onBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlHttpRequest::onHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, this);

        curl_slist* list = curl_slist_append(nullptr, "Expect:");
        std::unique_ptr<curl_slist, ListDeleter> headerList(list);
        for (const auto& [name, value] : headers_) {
            const std::string line = name + ": " + value;
            list = curl_slist_append(headerList.get(), line.c_str());
            if (list == nullptr)
                fail("out of memory");
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());

        if (get) {
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, bytes.data());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
            if (method_ != "POST")
                curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method_.c_str());
        }

        body_.clear();
        headerBytes_ = 0;
        const CURLcode rc = curl_easy_perform(c);
        if (rc != CURLE_OK) {
            body_.clear();
            body_.shrink_to_fit();
            fail(std::string("HTTP exchange failed: ") + curl_easy_strerror(rc));
        }
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        const char* type = nullptr;
        curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
        status_ = static_cast<int>(status);
        contentType_ = type ? type : "";
        state_ = 4;
    }

    int readyState() const override { return state_; }

    int Status() const override {
        if (state_ != 4)
            fail("no reply yet");
        return status_;
    }

    Text responseText() const override {
        if (state_ != 4)
            fail("no reply yet");
        return decodeHttpBody(body_, contentType_);
    }

    void abort() override { reset(); }

private:
    void reset() {
        state_ = 0;
        status_ = 0;
        method_.clear();
        url_.clear();
        headers_.clear();
        body_.clear();
        contentType_.clear();
    }

    // The caller states the length; a wrong one would make the request
    // malformed on the wire, so it is refused instead of sent.
    void checkContentLength(const std::string& bytes, bool hasBody) const {
        for (const auto& [name, value] : headers_) {
            if (!equalsIgnoreCase(name, "Content-Length"))
                continue;
            const auto first = value.find_first_not_of(' ');
            const auto last = value.find_last_not_of(' ');
            const std::string digits =
                first == std::string::npos ? "" : value.substr(first, last - first + 1);
            if (!hasBody || digits != std::to_string(bytes.size()))
                fail("Content-Length does not match the body");
        }
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* r = static_cast<CurlHttpRequest*>(self);
        const std::size_t n = size * count;
        if (r->body_.size() + n > r->limits_.maxBodyBytes)
            return 0; // too large: the transfer fails
        r->body_.append(data, n);
        return n;
    }

    static std::size_t onHeader(char*, std::size_t size, std::size_t count, void* self) {
        auto* r = static_cast<CurlHttpRequest*>(self);
        const std::size_t n = size * count;
        r->headerBytes_ += n;
        return r->headerBytes_ > r->limits_.maxHeaderBytes ? 0 : n;
    }

    HttpLimits limits_;
    int state_ = 0;
    int status_ = 0;
    std::string method_;
    std::string url_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::string body_;
    std::string contentType_;
    std::size_t headerBytes_ = 0;
};

} // namespace

HttpRequestFactory curlHttpRequestFactory(HttpLimits limits) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return [limits]() -> std::unique_ptr<HttpRequest> {
        return std::make_unique<CurlHttpRequest>(limits);
    };
}

} // namespace pelvoran
