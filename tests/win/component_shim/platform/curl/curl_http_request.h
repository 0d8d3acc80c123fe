#pragma once
// The wire suites of the update check and the comment post are written
// against the Linux request component; built for Windows, this header hands
// them the WinHTTP component under the same name, so the same cases check
// the same bytes on the wire.
#include "platform/winhttp/winhttp_request.h"

namespace pelvoran {

inline HttpRequestFactory curlHttpRequestFactory() {
    return winHttpRequestFactory();
}

} // namespace pelvoran
