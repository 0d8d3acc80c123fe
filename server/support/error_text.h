#pragma once

#include <string>

namespace pelvoran::server {

/// What a system error (an errno value) means for the publisher and what to
/// do about it, in Chinese, with the library's own words in brackets.
std::string systemErrorText(int error);

} // namespace pelvoran::server
