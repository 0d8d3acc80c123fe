#pragma once

#include "platform/text.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran {

/// The HTTP request component, called by member name as the update check and
/// the comment post use it. Every member may throw StepError.
class HttpRequest {
public:
    virtual ~HttpRequest() = default;

    /// Prepares one request. Only synchronous requests (async == false) are
    /// supported.
    virtual void Open(std::string_view method, const Text& url, bool async) = 0;
    /// Adds a header to the prepared request.
    virtual void setRequestHeader(std::string_view name, std::string_view value) = 0;
    /// Performs the whole exchange before it returns. The body, if any, is
    /// sent as UTF-8. Fails on any transport failure.
    virtual void send(std::optional<Text> body = std::nullopt) = 0;
    /// 0 unopened, 1 opened, 4 completed.
    virtual int readyState() const = 0;
    /// The HTTP status of the completed exchange.
    virtual int Status() const = 0;
    /// The reply body decoded by the charset of its Content-Type (UTF-8 when
    /// none is named).
    virtual Text responseText() const = 0;
    /// The value of the reply's header `name` (compared without regard to
    /// case), blanks around it removed; nullopt when the reply has none.
    virtual std::optional<std::string> getResponseHeader(std::string_view name) const = 0;
    /// Resets the request.
    virtual void abort() = 0;
};

/// A request component's own limits: no exchange may hold up the tool for
/// longer, and no reply may fill its memory.
struct HttpLimits {
    std::chrono::milliseconds connectTimeout{3000};
    std::chrono::milliseconds totalTimeout{5000}; // name resolution and redirects included
    std::size_t maxBodyBytes = 1 << 20;
    std::size_t maxHeaderBytes = 256 << 10;
    int maxRedirects = 5; // followed by a GET only, to http and https only
};

/// The address as it travels: UTF-8, with blanks, control characters,
/// characters beyond ASCII and the characters " < > \ ^ ` { | } written as
/// %XX (a blank as %20). Everything else, "%" included, stays as it is.
std::string urlForWire(const Text& url);

/// A reply body as text, by the charset of its Content-Type: GBK, GB2312,
/// CP936 and GB18030 through GBK, ISO-8859-1 and US-ASCII byte for byte,
/// anything else and no charset as UTF-8. Invalid bytes become U+FFFD.
Text decodeHttpBody(std::string_view bytes, std::string_view contentType);

/// Creates a request object, or throws StepError when it cannot.
using HttpRequestFactory = std::function<std::unique_ptr<HttpRequest>()>;

/// The component classes known by name. A name that is not registered cannot
/// be created.
class HttpComponentRegistry {
public:
    void add(std::string name, HttpRequestFactory factory) {
        factories_[std::move(name)] = std::move(factory);
    }
    /// Creates an object of the named class; throws StepError when the class
    /// is unknown or its factory fails.
    std::unique_ptr<HttpRequest> create(std::string_view name) const;

private:
    std::map<std::string, HttpRequestFactory, std::less<>> factories_;
};

} // namespace pelvoran
