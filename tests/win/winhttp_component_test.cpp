// The WinHTTP request component against a real server on 127.0.0.1: the
// cases every component passes.
#include "platform/winhttp/winhttp_request.h"
#include "tests/http_component_cases.h"

#include <windows.h>

#include <psapi.h>

namespace pelvoran::test {

std::unique_ptr<HttpRequest> makeRequest() {
    return winHttpRequestFactory()();
}

std::size_t peakMemoryKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / 1024;
}

const double kRefusedConnectionSeconds = 3.5;

} // namespace pelvoran::test
