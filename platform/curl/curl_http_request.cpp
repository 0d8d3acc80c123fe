#include "platform/curl/curl_http_request.h"

#include "platform/errors.h"
#include "platform/http_request_common.h"
#include "platform/tool_agent.h"

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

[[noreturn]] void fail(const std::string& what) {
    throw StepError(kComponentFailure, what);
}

class CurlHttpRequest final : public PreparedHttpRequest {
public:
    explicit CurlHttpRequest(HttpLimits limits) : PreparedHttpRequest(limits) {}

    void send(std::optional<Text> body) override {
        const std::string bytes = bodyToSend(body);

        std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
        if (!curl)
            fail("cannot start a transfer");
        CURL* c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL, url().c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(limits().connectTimeout.count()));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits().totalTimeout.count()));
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_USERAGENT, toolAgent().c_str());
        // Only a GET follows redirects. A POST is never replayed: a follow-up
        // would go out as a GET that still carries the post's headers, and a
        // server that believes its Content-Length waits for a body that never
        // comes. A 3xx answer to a POST completes the exchange instead.
        const bool get = method() == "GET" && !body;
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, get ? 1L : 0L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(limits().maxRedirects));
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlHttpRequest::onBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlHttpRequest::onHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, this);

        curl_slist* list = curl_slist_append(nullptr, "Expect:");
        std::unique_ptr<curl_slist, ListDeleter> headerList(list);
        for (const auto& [name, value] : headers()) {
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
            if (method() != "POST")
                curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method().c_str());
        }

        received_.clear();
        replyHeaders_.clear();
        headerBytes_ = 0;
        const CURLcode rc = curl_easy_perform(c);
        if (rc != CURLE_OK) {
            received_.clear();
            received_.shrink_to_fit();
            fail(std::string("HTTP exchange failed: ") + curl_easy_strerror(rc));
        }
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        const char* type = nullptr;
        curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
        complete(static_cast<int>(status), std::move(received_), type ? type : "",
                 std::move(replyHeaders_));
    }

private:
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* r = static_cast<CurlHttpRequest*>(self);
        const std::size_t n = size * count;
        if (r->received_.size() + n > r->limits().maxBodyBytes)
            return 0; // too large: the transfer fails
        r->received_.append(data, n);
        return n;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* r = static_cast<CurlHttpRequest*>(self);
        const std::size_t n = size * count;
        r->headerBytes_ += n;
        if (r->headerBytes_ > r->limits().maxHeaderBytes)
            return 0;
        const std::string_view line(data, n);
        // A status line begins the headers of another reply (after a 1xx or
        // a redirect): only the last reply's are kept.
        if (line.starts_with("HTTP/"))
            r->replyHeaders_.clear();
        else
            r->replyHeaders_.emplace_back(line);
        return n;
    }

    std::string received_;
    std::vector<std::string> replyHeaders_;
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
