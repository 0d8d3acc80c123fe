#pragma once

#include "platform/http_request.h"

namespace pelvoran {

/// A factory of request objects backed by libcurl.
HttpRequestFactory curlHttpRequestFactory(HttpLimits limits = {});

} // namespace pelvoran
