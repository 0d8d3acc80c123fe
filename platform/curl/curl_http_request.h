#pragma once

#include "platform/http_request.h"

#include <chrono>
#include <cstddef>

namespace pelvoran {

/// The component's own limits: no exchange may hold up the tool for longer,
/// and no reply may fill its memory.
struct HttpLimits {
    std::chrono::milliseconds connectTimeout{3000};
    std::chrono::milliseconds totalTimeout{5000}; // name resolution included
    std::size_t maxBodyBytes = 1 << 20;
    std::size_t maxHeaderBytes = 256 << 10;
    long maxRedirects = 5; // followed by a GET only, to http and https only
};

/// A factory of request objects backed by libcurl.
HttpRequestFactory curlHttpRequestFactory(HttpLimits limits = {});

} // namespace pelvoran
