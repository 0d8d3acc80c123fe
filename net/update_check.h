#pragma once

#include "net/services.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran {

namespace update_text {
inline constexpr char16_t kTitle[] = u"有更新版本";
inline constexpr char16_t kVersion[] = u"最新版本: ";
inline constexpr char16_t kDate[] = u"发布日期: ";
inline constexpr char16_t kNotes[] = u"更新说明: ";
inline constexpr char16_t kClickOk[] = u"点击确定下载升级程序。";
inline constexpr char16_t kCannotOpenTitle[] = u"提示";
inline constexpr char16_t kCannotOpen[] = u"无法打开下载地址，请稍后重试。";
} // namespace update_text

/// The reply text cut at every "[;]"; an empty text gives no fields at all.
std::vector<Text> splitReplyFields(const Text& reply);

/// True when the reply's version field (field 0) names a version newer than
/// the tool's own. The field is data, read with "." as the decimal separator
/// whatever the user's locale; a non-numeric field counts as version 0.
bool isNewerVersion(const Text& field);

/// The download address of the reply's field 1, if it is safe to hand to the
/// desktop: an absolute http or https address with a host that does not
/// begin with "-" or ":", and without control characters. Blanks, quotes and
/// characters beyond ASCII are percent-encoded as UTF-8, as browsers do, so
/// what comes back is printable ASCII. A line break that ends the field is
/// dropped first.
std::optional<std::string> safeDownloadAddress(const Text& field);

/// The update notes as the prompt shows them: at most 20 lines and 1,000
/// characters, ending with "…" where cut. A line ends at CR, LF, CR LF or a
/// Unicode line or paragraph separator.
Text notesForPrompt(TextView notes);

/// The update offer as the box shows it.
struct UpdateOfferBox {
    Text title;
    Text message;
    MessageButtons buttons;
};

/// What the publisher signs for a release: the UTF-8 bytes of
/// "pelvoran-release-v1[;]" and the four fields (version, address, date,
/// notes) as the tool has them after Decode, joined by "[;]".
std::string releaseMessage(TextView version, TextView address, TextView date, TextView notes);

/// True when the reply's field 4 is a signature by `publicKey` of its
/// fields 0 to 3 (releaseMessage); false for fewer than five fields.
bool replySigned(const std::vector<Text>& fields, std::string_view publicKey);

/// The offer for a reply's fields (as splitReplyFields gives them), or
/// nullopt when field 0 names no newer version (isNewerVersion). The message
/// has a line for the version, written by the regional settings, for the
/// release date (field 2) and for the notes (field 3, as notesForPrompt cuts
/// them), then the line that asks for OK; each line ends with a carriage
/// return. As in the update check, every step runs with its errors ignored:
/// the line of a missing field is left out, and no field makes it throw.
std::optional<UpdateOfferBox> updateOffer(const std::vector<Text>& fields,
                                          const RegionalSettings& regional);

/// The start-up update check of the main window: asks the server for the
/// latest version and offers a newer one. Every step runs with its errors
/// ignored; nothing of a failure reaches the user.
class UpdateCheck {
public:
    /// `beforeNotice` runs before the notice that OK started nothing: the
    /// main window shows itself there, so that the notice comes over the
    /// window it speaks for.
    explicit UpdateCheck(Services services, std::function<void()> beforeNotice = {});

    /// Obtains the request object, sends the query and reads the reply.
    void CheckUpdate();

    /// Reads a completed reply and, for a newer version, shows the offer.
    /// With a public key in the services, a reply that is not signed by it
    /// (replySigned) is no offer, like a reply that cannot be read.
    /// The version field is read with "." as the decimal separator, whatever
    /// the user's locale; the prompt shows it by the regional settings. When
    /// OK starts nothing, a notice says so and start-up goes on as after
    /// Cancel.
    void OnReadyV();

    /// True once the user accepted an update, the opener started and the
    /// process was told to end.
    bool exitRequested() const { return exitRequested_; }

    /// The request object; it stays for the rest of the run.
    std::unique_ptr<HttpRequest> HttpClient;

private:
    Services services_;
    std::function<void()> beforeNotice_;
    bool exitRequested_ = false;
};

} // namespace pelvoran
