#pragma once

#include "platform/http_request.h"

#include <array>
#include <memory>

namespace pelvoran {

/// The component's class names, in the order they are tried.
inline constexpr std::array<const char*, 6> kHttpClassNames = {
    "MSXML2.XMLHTTP",   "MSXML2.XMLHTTP26", "MSXML2.XMLHTTP30",
    "MSXML2.XMLHTTP40", "MSXML2.XMLHTTP50", "MSXML2.XMLHTTP60",
};

/// A registry that creates every class name through the same factory.
HttpComponentRegistry registryForAllClassNames(const HttpRequestFactory& factory);

/// Tries the class names in order and stops at the first one that can be
/// created; that object replaces what the field held. On failure the field
/// is left exactly as it was. Returns whether an object was obtained.
bool CreateHttpClient(std::unique_ptr<HttpRequest>& HttpClient,
                      const HttpComponentRegistry& registry);

} // namespace pelvoran
