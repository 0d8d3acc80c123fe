#include "net/http_acquisition.h"

#include "net/ignore_errors.h"

namespace pelvoran {

HttpComponentRegistry registryForAllClassNames(const HttpRequestFactory& factory) {
    HttpComponentRegistry registry;
    for (const char* name : kHttpClassNames)
        registry.add(name, factory);
    return registry;
}

bool CreateHttpClient(std::unique_ptr<HttpRequest>& HttpClient,
                      const HttpComponentRegistry& registry) {
    // The success test is on the error state of the last attempt, not on
    // whether the field holds an object.
    IgnoreErrors errors;
    errors.run([&] { HttpClient = registry.create(kHttpClassNames[0]); });
    for (std::size_t i = 1; i < kHttpClassNames.size(); ++i) {
        if (!errors.error())
            break;
        errors.clear();
        errors.run([&] { HttpClient = registry.create(kHttpClassNames[i]); });
    }
    return !errors.error();
}

} // namespace pelvoran
