#pragma once

#include "platform/http_request.h"

namespace pelvoran {

/// A factory of request objects backed by WinHTTP.
HttpRequestFactory winHttpRequestFactory(HttpLimits limits = {});

} // namespace pelvoran
