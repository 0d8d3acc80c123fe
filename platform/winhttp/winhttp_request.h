#pragma once

#include "platform/http_request.h"

#include <chrono>
#include <cstddef>

namespace pelvoran {

/// The component's own limits: no exchange may hold up the tool for longer,
/// and no reply may fill its memory.
struct WinHttpLimits {
    std::chrono::milliseconds connectTimeout{3000};
    std::chrono::milliseconds totalTimeout{5000}; // name resolution and redirects included
    std::size_t maxBodyBytes = 1 << 20;
    std::size_t maxHeaderBytes = 256 << 10;
    int maxRedirects = 5; // GET only; a POST follows none
};

/// A factory of request objects backed by WinHTTP.
HttpRequestFactory winHttpRequestFactory(WinHttpLimits limits = {});

} // namespace pelvoran
