#pragma once

// What the tool and the publisher's server agree on over the wire. Both sides
// include this header: the tool builds its requests and reads its replies by
// it, the server routes and answers by it. Tools in the field use these exact
// texts, so none of them may change.

#include <cstddef>
#include <string_view>

namespace pelvoran::wire {

/// An ASCII text of the wire, held once and readable as bytes (the server's
/// side) and as UTF-16 (the tool's side).
template <std::size_t N> struct WireText {
    char bytes[N]{};
    char16_t units[N]{};

    consteval WireText(const char (&literal)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            if (static_cast<unsigned char>(literal[i]) >= 0x80)
                throw "the wire's fixed texts are ASCII";
            bytes[i] = literal[i];
            units[i] = static_cast<char16_t>(literal[i]);
        }
    }
    constexpr std::string_view ascii() const { return {bytes, N - 1}; }
    constexpr std::u16string_view text() const { return {units, N - 1}; }
};

/// The path of the update check.
inline constexpr WireText kUpdatePath("/Canon/LensCheck.asp");
/// The update check's query; the local date-time follows it.
inline constexpr WireText kUpdateQuery("?Action=Check&D=");
/// The path the comment is posted to.
inline constexpr WireText kCommentPath("/Canon/comment.asp");
/// The one field of the comment's body; the escaped comment follows it.
inline constexpr WireText kCommentField("CommentText=");
/// What separates the fields of the update check's reply (version, address,
/// date, notes).
inline constexpr WireText kReplySeparator("[;]");
/// The comment post's header with the reply key's hash (base64url).
inline constexpr WireText kReplyKeyHeader("Pelvoran-Reply-Key");
/// The header of the comment post's 200 with the comment's number.
inline constexpr WireText kCommentNumberHeader("Pelvoran-Comment-Number");
/// Where the tool fetches the answers to its comments (POST, the secrets).
inline constexpr WireText kAnswersPath("/answers");
/// Where the tool confirms the answers it showed (POST).
inline constexpr WireText kAnswersSeenPath("/answers/seen");

} // namespace pelvoran::wire
