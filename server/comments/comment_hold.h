#pragma once

#include "platform/text.h"
#include "server/support/clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace pelvoran::server {

// Comments held for the publisher as likely spam: stored and counted like
// any other, never notified one by one, listed apart until the publisher
// lets them through or deletes them. Why, in the word stored with the
// comment:
inline constexpr char kHeldLink[] = "link";       // a web address
inline constexpr char kHeldPhone[] = "phone";     // a mainland mobile number
inline constexpr char kHeldContact[] = "contact"; // a QQ or WeChat id by a contact word
inline constexpr char kHeldCopy[] = "copy";       // another network's comment again

/// What a publisher reads for the stored word `held`: "疑似垃圾（含链接）"
/// (comments_texts.h); empty when it is empty.
std::string heldText(const std::string& held);

/// The text as the rules read it: Unicode NFKC (full-width forms and
/// circled digits as ASCII, the ideographic space as a blank), invisible
/// characters gone (format characters such as zero-width spaces and
/// joiners, the word joiner, the byte order mark, the soft hyphen and the
/// bidirectional marks and overrides; variation selectors, fillers),
/// every run of white space one blank, dashes as "-", ASCII lower-cased.
std::u32string foldedForHolding(const Text& text);

/// Why the text alone holds a comment, by these rules in this order; empty
/// when none applies. On the folded text:
/// - a link: "://", "www." before a letter or digit, or a name of ASCII
///   letters, digits and hyphens, a dot and a common top-level domain
///   (com, cn, net, top...) that no letter or digit follows; a name of
///   digits alone only before com, net or org ("163.com"), as any other is
///   a number ending a sentence ("f/2.8。HK"), nor a focal length ("EF
///   50mm。CN 版", "24-105mm"). Blanks are read as nothing,
///   and "点", "。", "[.]", "(.)", "{.}", "<.>", "【.】", "(dot)", "[dot]",
///   "{dot}", "<dot>", "【dot】" and "dot" between blanks as a dot;
/// - a mobile number: 11 digits, "1", one of 3 to 9, nine more, as a run
///   of digits of its own (none before or after it), after "86" or "0086"
///   in a run of 13 or 15, or in groups of 3, 4 and 4 digits with one to
///   three blanks, dashes or dots between them. A run of 12 digits or more
///   is never one, nor are parts of it: it is two serials, or a reference;
///   neither is a serial of 8 to 10 digits, nor a number split otherwise;
/// - a contact: QQ, 扣扣, 微信 (or 威信, 薇信, 徽信, v信), WeChat, weixin, vx,
///   wx, 加我 or 联系, then within eight characters of blanks, punctuation
///   and the words 号, 号码, 账号, 帐号, 是, 为, 我, 的, 方式 or id, an id:
///   5 to 11 digits not beginning with 0, or a letter and 5 to 19 letters,
///   digits, "_" or "-" that is not a lens date code (one or two letters
///   and four digits, "UE0945"). A contact word in Latin letters is one
///   only when no letter comes right before it, nor right after it.
/// Serials of 8 to 10 digits, date codes and model names are no reason.
std::string textHoldReason(const Text& text);

/// Whether comments come again and again from several networks: the last
/// kKept comments of the last hour, each by the network it came from as a
/// salted hash (the salt drawn anew whenever nothing is kept), the digits
/// and blanks taken out of its folded text, and the 5-character shingles
/// of its folded text without blanks. Kept in memory alone, for this
/// process only. Safe to use from any thread.
class CommentHold {
public:
    static constexpr std::size_t kKept = 500;
    static constexpr std::chrono::hours kWindow{1};
    /// Shorter than this without digits and blanks, texts are never copies:
    /// short thanks and questions are said alike by many.
    static constexpr std::size_t kShortest = 10;
    /// Shingles of the first this many characters are compared.
    static constexpr std::size_t kShingledChars = 2000;

    explicit CommentHold(const Clock& clock = Clock::system());

    /// Why the comment `text` from `network` (ClientAddress::networkKey;
    /// empty when unknown) is held (textHoldReason, or kHeldCopy), or empty;
    /// remembered either way, unless its network is unknown. It is a copy
    /// when one of the last hour from another network has the same text
    /// without digits and blanks, or 5-character shingles whose Jaccard
    /// similarity to its own is 0.8 or more.
    std::string reason(const Text& text, const std::string& network);

private:
    struct Seen {
        Clock::TimePoint at;
        std::string network; // salted hash
        std::size_t digitless = 0;
        std::vector<std::uint64_t> shingles; // sorted, each once
    };

    const Clock& clock_;
    std::mutex mutex_;
    std::string salt_;
    std::deque<Seen> seen_; // oldest first
};

} // namespace pelvoran::server
