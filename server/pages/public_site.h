#pragma once

#include "server/http/web.h"
#include "server/release/release_file.h"

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

/// What the lookup page shows.
struct LookupView {
    std::string root = "/"; // where the public site is
    /// The code asked for (?code=), as it came; none: the start notice.
    std::optional<std::string> code = std::nullopt;
    std::string notice = "";  // HTML: how a comment went
    std::string comment = ""; // refills the comment form when it did not arrive
    std::vector<PageDownload> downloads = {};
    std::string replyNotice = ""; // HTML: why a reply code was not read
    std::string replyCode = "";   // refills the reply form then
};

/// The lookup page at its root: the form, the answer the desktop tool gives
/// for the code (its first ten characters, codeAsTyped) under Chinese
/// regional settings (the start notice without one), the help text and
/// photo, and the comment form. Each of the downloads adds a line to
/// download it, with its platform and SHA-256.
WebResponse lookupPage(const LookupView& view);

/// The help photo, as PNG.
WebResponse helpPhoto();

/// The public site's answer to a request it cannot serve: a page in the
/// lookup page's style, sized for a phone, that says what went wrong and
/// links back to the lookup. Knows 400, 404, 405 (with Allow: GET, HEAD),
/// 413, 431, 501 and 503; any other status gets a general text.
WebResponse publicErrorPage(unsigned status, const char* allow = "GET, HEAD",
                            const std::string& root = "/");

/// The names of the comment form's fields: the comment, and the one left
/// empty by people (the form hides it from view) and filled by bots.
inline constexpr char kWebCommentField[] = "text";
inline constexpr char kTrapField[] = "website";
/// The reply form's field for the code.
inline constexpr char kReplyCodeField[] = "code";

/// Where the comment form leads once a comment is stored: the lookup page
/// at `root` with the thanks, and an empty form.
WebResponse thanksPage(const std::string& root);

/// The answer to a comment from the form once it is stored: the lookup page
/// at `root` with the thanks and the reply code (`code`, as written for
/// people), not to be kept by any cache.
WebResponse receiptPage(const std::string& root, const std::string& code);

/// A comment and its answer as a reply code shows them (UTF-8).
struct ConversationView {
    std::string comment;
    std::string answer;
};

/// What a reply code reads: the comment and the publisher's answer, or
/// (none) one sentence that says nothing of why, the same bytes for every
/// code without an answer to show; not to be kept by any cache.
WebResponse replyPage(const std::string& root, const std::optional<ConversationView>& found);

/// The lookup page at `root` with `why` at the reply form, which keeps what
/// was typed (`typed`): a code that is none, or too many tries.
WebResponse replyRefusedPage(const std::string& root, unsigned status, const std::string& why,
                             const std::string& typed);

/// The lookup page at `root` after a web comment could not be stored or was
/// refused: `status`, `why`, and the `comment` kept in the form.
WebResponse commentFailedPage(const std::string& root, unsigned status, const std::string& why,
                              const std::string& comment);

} // namespace pelvoran::server
