#pragma once

#include "platform/http_request.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvoran {

/// What every request component does the same way around its exchange: the
/// checks on the method and the headers, the states 0, 1 and 4, and the
/// reply once it is complete. A component adds send(), which calls
/// bodyToSend() first and complete() when the reply is in.
class PreparedHttpRequest : public HttpRequest {
public:
    void Open(std::string_view method, const Text& url, bool async) override;
    void setRequestHeader(std::string_view name, std::string_view value) override;
    int readyState() const override { return state_; }
    int Status() const override;
    Text responseText() const override;
    std::optional<std::string> getResponseHeader(std::string_view name) const override;
    void abort() override { reset(); }

protected:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    /// `refusedInMethod` names the characters, beyond line breaks and NUL,
    /// that the component cannot put into a request line.
    explicit PreparedHttpRequest(HttpLimits limits, std::string_view refusedInMethod = {})
        : limits_(limits), refusedInMethod_(refusedInMethod) {}

    /// The body as UTF-8 bytes, once the request may go out: opened, and any
    /// Content-Length the caller set matches the body. Throws StepError.
    std::string bodyToSend(const std::optional<Text>& body) const;
    /// Takes the reply of the exchange: the request is complete (state 4).
    /// `replyHeaders`: the final reply's header lines as received (a component
    /// that passes none reports no header).
    void complete(int status, std::string body, std::string contentType,
                  std::vector<std::string> replyHeaders = {});

    const HttpLimits& limits() const { return limits_; }
    /// The method in capitals.
    const std::string& method() const { return method_; }
    /// The address as it travels (urlForWire).
    const std::string& url() const { return url_; }
    /// The caller's headers, in the order they were set.
    const Headers& headers() const { return headers_; }

private:
    void reset();

    HttpLimits limits_;
    std::string refusedInMethod_;
    int state_ = 0;
    int status_ = 0;
    std::string method_;
    std::string url_;
    Headers headers_;
    std::string body_;
    std::string contentType_;
    std::vector<std::string> replyHeaders_;
};

} // namespace pelvoran
