#pragma once

#include "platform/http_request.h"

namespace pelvoran {

/// A factory of request objects backed by WinHTTP.
HttpRequestFactory winHttpRequestFactory(HttpLimits limits = {});

/// The same, with one GET sent now and read later: `url` is asked at once, on
/// a thread of its own, and the first request object that sends a GET of the
/// same address (its query aside) with no header of its own takes that
/// exchange instead of starting another: its send() only waits for the reply,
/// within the limits counted from the early sending. Every other request goes
/// out as usual; a reply that no request takes is dropped.
HttpRequestFactory winHttpRequestFactorySendingAhead(const Text& url, HttpLimits limits = {});

} // namespace pelvoran
