#pragma once

// What every page shares: the document around it, its style sheet, its
// headers, and the one function that escapes text for HTML.

#include "server/http/web.h"

#include <string>
#include <string_view>

namespace pelvoran::server {

/// Text for HTML, in element content and in quoted attributes alike:
/// & < > " ' escaped. Every text a page shows goes through here.
std::string escapeHtml(std::string_view utf8);

/// A whole page: the document around `main`, in Chinese, with the one style
/// sheet (under `root`) and, when given, a navigation bar (already HTML).
std::string htmlPage(std::string_view title, std::string_view main, std::string_view nav = "",
                     std::string_view root = "/");

/// The style sheet of every page.
WebResponse styleSheet();

/// The headers every page carries: no script but our own, no framing.
void addPageHeaders(WebResponse& r);

} // namespace pelvoran::server
