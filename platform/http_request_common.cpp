#include "platform/http_request_common.h"

#include "platform/errors.h"

#include <algorithm>
#include <cctype>

namespace pelvoran {
namespace {

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

} // namespace

void PreparedHttpRequest::Open(std::string_view method, const Text& url, bool async) {
    if (async)
        fail("asynchronous requests are not supported");
    reset();
    method_ = std::string(method);
    std::transform(method_.begin(), method_.end(), method_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (method_.empty() || hasLineBreakOrNul(method_) ||
        method_.find_first_of(refusedInMethod_) != std::string::npos)
        fail("bad request method");
    url_ = urlForWire(url);
    state_ = 1;
}

void PreparedHttpRequest::setRequestHeader(std::string_view name, std::string_view value) {
    if (state_ != 1)
        fail("setRequestHeader before Open");
    if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value) ||
        name.find(':') != std::string_view::npos)
        fail("bad request header");
    headers_.emplace_back(name, value);
}

std::string PreparedHttpRequest::bodyToSend(const std::optional<Text>& body) const {
    if (state_ != 1)
        fail("send before Open");
    std::string bytes = body ? toUtf8(*body) : std::string();
    // The caller states the length; a wrong one would make the request
    // malformed on the wire, so it is refused instead of sent.
    for (const auto& [name, value] : headers_) {
        if (!equalsIgnoreCase(name, "Content-Length"))
            continue;
        const auto first = value.find_first_not_of(' ');
        const auto last = value.find_last_not_of(' ');
        const std::string digits =
            first == std::string::npos ? "" : value.substr(first, last - first + 1);
        if (!body || digits != std::to_string(bytes.size()))
            fail("Content-Length does not match the body");
    }
    return bytes;
}

void PreparedHttpRequest::complete(int status, std::string body, std::string contentType,
                                   std::vector<std::string> replyHeaders) {
    status_ = status;
    body_ = std::move(body);
    contentType_ = std::move(contentType);
    replyHeaders_ = std::move(replyHeaders);
    state_ = 4;
}

std::optional<std::string> PreparedHttpRequest::getResponseHeader(std::string_view name) const {
    if (state_ != 4)
        fail("no reply yet");
    auto lower = [](std::string_view s) {
        std::string l(s);
        for (char& c : l)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return l;
    };
    const std::string wanted = lower(name);
    for (const std::string& line : replyHeaders_) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || lower(std::string_view(line).substr(0, colon)) != wanted)
            continue;
        const std::size_t first = line.find_first_not_of(" \t", colon + 1);
        const std::size_t last = line.find_last_not_of(" \t\r\n");
        if (first == std::string::npos || last < first)
            return std::string();
        return line.substr(first, last - first + 1);
    }
    return std::nullopt;
}

int PreparedHttpRequest::Status() const {
    if (state_ != 4)
        fail("no reply yet");
    return status_;
}

Text PreparedHttpRequest::responseText() const {
    if (state_ != 4)
        fail("no reply yet");
    return decodeHttpBody(body_, contentType_);
}

void PreparedHttpRequest::reset() {
    state_ = 0;
    status_ = 0;
    method_.clear();
    url_.clear();
    headers_.clear();
    body_.clear();
    contentType_.clear();
    replyHeaders_.clear();
}

} // namespace pelvoran
