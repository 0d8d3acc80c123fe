#pragma once

#include "server/http/web.h"
#include "server/release/release_file.h"
#include "server/store/store.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// The code as the desktop box would keep it: the first line, the first ten
/// characters.
std::string codeAsTyped(const std::string& utf8);

/// A platform's release file that this server serves: a download line of
/// the lookup page.
struct PageDownload {
    ReleaseFile file;
    std::string version;
};

/// The lookup page at its root (`request.root`): the form, the answer the desktop tool gives for
/// `?code=` under Chinese regional settings (the start notice without one),
/// the help text and photo, and the comment form. `notice` (HTML) tells how
/// a comment went; `comment` refills the form when it did not arrive.
/// Each of `downloads` adds a line to download it, with its platform and
/// SHA-256.
WebResponse lookupPage(const WebRequest& request, const std::string& notice = "",
                       const std::string& comment = "",
                       const std::vector<PageDownload>& downloads = {});

/// The help photo, as PNG.
WebResponse helpPhoto();

/// The public site's answer to a request it cannot serve: a page in the
/// lookup page's style, sized for a phone, that says what went wrong and
/// links back to the lookup. Knows 400, 404, 405 (with Allow: GET, HEAD),
/// 413, 431, 501 and 503; any other status gets a general text.
WebResponse publicErrorPage(unsigned status, const char* allow = "GET, HEAD",
                            const std::string& root = "/");

/// What the web comment form asks for: the comment to store and the pages
/// for each outcome, or a page at once when the comment is refused.
struct WebComment {
    std::optional<NewComment> store;
    /// The refusal, or once the comment is stored a 303 to the thanks page.
    WebResponse page;
};

/// Where the comment form leads once a comment is stored: the lookup page
/// with the thanks, and an empty form.
WebResponse thanksPage(const WebRequest& request);

/// Reads a comment posted by the lookup page's form. A comment that fills
/// the field meant for bots is stored flagged, never thrown away.
WebComment webComment(const WebRequest& request, std::chrono::sys_seconds now);

/// The page after a web comment could not be stored or was refused, with
/// `status` and the comment kept in the form.
WebResponse webCommentFailed(const WebRequest& request, unsigned status, const std::string& why);

} // namespace pelvoran::server
