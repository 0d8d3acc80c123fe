#pragma once

#include "platform/text.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

class AuditLog;
class Connection;

/// The longest answer, in characters (code points), once cleaned.
inline constexpr std::size_t kMaxAnswerChars = 2000;
/// How long a comment's writer may fetch its answer.
inline constexpr std::chrono::days kAnswerKept{180};

/// An answer as it is kept: line breaks as LF, without control characters
/// (C0 and C1, LF apart) and bidirectional overrides, isolates and marks,
/// which could make it read otherwise than it was written.
Text cleanAnswer(TextView text);

/// How many characters (code points) `text` has.
std::size_t codePoints(TextView text);

/// The reply key of a secret as the tools send it (22 base64url characters,
/// 16 bytes): the base64url SHA-256 of its bytes; nullopt for anything else.
std::optional<std::string> replyKeyOfSecret(std::string_view secret);

/// The base64url SHA-256 of `bytes`, as the tools send a text's hash.
std::string sha256Base64Url(std::string_view bytes);

/// The bytes of the code a web comment's writer keeps to read its answer:
/// 80 bits, 16 digits of Crockford's base32.
inline constexpr std::size_t kReplyCodeBytes = 10;

/// A new code's bytes, from OpenSSL's generator; throws when it fails.
std::string drawReplyCode();

/// `bytes` (kReplyCodeBytes of them) in Crockford's base32, upper case, in
/// four groups of four digits between hyphens: "7K3M-Q9XA-…".
std::string replyCodeText(std::string_view bytes);

/// The bytes of a code as a person types it: any case, O read as 0, I and L
/// as 1, hyphens and blanks left out; nullopt for anything but 16 digits of
/// Crockford's alphabet (U, other letters, non-ASCII, too few or too many).
std::optional<std::string> readReplyCode(std::string_view typed);

/// The reply key a code's comment is stored with (isReplyKey): the
/// base64url SHA-256 of its bytes.
std::string replyKeyOfCode(std::string_view bytes);

struct StoredAnswer {
    Text text;
    std::chrono::sys_seconds written{};
    std::chrono::sys_seconds delivered{}; // the epoch: not yet
};

/// An answer found for a reply key.
struct FoundAnswer {
    std::int64_t number = 0; // the comment's
    std::string key;
    Text text;
};

/// A comment and its answer, as the code of the comment shows them.
struct Conversation {
    Text comment;
    Text answer;
};

/// Why an answer was not written or withdrawn.
enum class AnswerRefused { None, NoComment, NoKey, Held, Delivered, NoAnswer };

/// The publisher's answers, one per comment at most, gone with their
/// comment. Writing and withdrawing are logged in the audit log, in the same
/// transaction, as coming from `source`.
class AnswerStore {
public:
    AnswerStore(Connection& connection, AuditLog& audit) : connection_(connection), audit_(audit) {}

    std::optional<StoredAnswer> find(std::int64_t comment);
    /// Writes the answer of `comment`, or replaces it; `text` as cleanAnswer
    /// leaves it. Refused for a comment without a reply key, held, or whose
    /// answer was delivered.
    AnswerRefused write(std::int64_t comment, const Text& text, std::chrono::sys_seconds now,
                        const std::string& source);
    /// Withdraws the answer of `comment`, unless it was delivered.
    AnswerRefused withdraw(std::int64_t comment, const std::string& source);
    /// The answers to the comments of `keys`, each looked up once, in their
    /// order: of comments not held, received at or after `since`.
    std::vector<FoundAnswer> forKeys(const std::vector<std::string>& keys,
                                     std::chrono::sys_seconds since);
    /// The comment of `key` and its answer, as forKeys finds it: answered,
    /// not held, received at or after `since`. Reading changes nothing (the
    /// answer stays undelivered, open to the publisher's edits).
    std::optional<Conversation> conversation(const std::string& key,
                                             std::chrono::sys_seconds since);
    /// The answers not delivered that a tool's fetch would still bring: of
    /// the tools' comments not held, received at or after `since`.
    std::int64_t waitingCount(std::chrono::sys_seconds since);
    /// Marks the answer to the comment of `key` delivered at `now` when the
    /// base64url SHA-256 of its text is `textHash`; whether it did.
    bool markDelivered(const std::string& key, const std::string& textHash,
                       std::chrono::sys_seconds now);

private:
    Connection& connection_;
    AuditLog& audit_;
};

} // namespace pelvoran::server
