#pragma once

#include <string>
#include <string_view>

namespace pelvoran {

/// A version as the tool's agent writes it: a point and exactly two decimals
/// ("1.05", "1.10", "2.00"), whatever the regional settings.
std::string agentVersionText(double version);

/// The platform the tool names in its agent: "Windows" or "Linux" (one file
/// per platform, picked by the build).
std::string_view toolPlatformLabel();

/// The User-Agent both request components send on every request, from this
/// build's CURRENT_VERSION and platform: "Pelvoran/1.05 (Linux)". The
/// publisher's server counts versions and answers each platform by it.
const std::string& toolAgent();

} // namespace pelvoran
