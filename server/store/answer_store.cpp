#include "server/store/answer_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"
#include "server/store/audit_log.h"
#include "server/store/comment_store.h"
#include "server/store/store_texts.h"
#include "server/support/line_breaks.h"

#include "platform/openssl_support.h"
#include "platform/signature.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace pelvoran::server {
namespace {

/// Whether `c` is kept out of an answer.
bool dropped(char16_t c) {
    return (c < 0x20 && c != u'\n') || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

/// Where the answer to a reply key (the first parameter) is found: of a
/// comment not held, received at or after the second.
constexpr char kAnswerOfKey[] = "FROM comments c JOIN answers a ON a.comment_id = c.id "
                                "WHERE c.reply_key = ? AND c.held = '' AND c.received >= ?";

/// The answer's state of `comment`: whether it exists, is answerable
/// (holds a key), is held, and its answer was delivered.
struct Target {
    bool exists = false;
    bool keyed = false;
    bool held = false;
    bool answered = false;
    bool delivered = false;
};

Target target(Connection& connection, std::int64_t comment) {
    Statement s(connection, "SELECT c.reply_key <> '', c.held <> '', a.comment_id IS NOT NULL, "
                            "coalesce(a.delivered, 0) <> 0 FROM comments c LEFT JOIN answers a "
                            "ON a.comment_id = c.id WHERE c.id = ?");
    s.bind(1, comment);
    if (!s.step())
        return {};
    return {true, s.integer(0) != 0, s.integer(1) != 0, s.integer(2) != 0, s.integer(3) != 0};
}

} // namespace

Text cleanAnswer(TextView text) {
    Text kept(text);
    std::erase_if(kept, [](char16_t c) { return c != u'\r' && dropped(c); });
    return oneLfPerLineBreak(kept);
}

std::size_t codePoints(TextView text) {
    std::size_t n = 0;
    for (const char16_t c : text)
        n += c < 0xDC00 || c > 0xDFFF; // a low surrogate ends a pair already counted
    return n;
}

std::optional<std::string> replyKeyOfSecret(std::string_view secret) {
    if (secret.size() != 22)
        return std::nullopt;
    const auto bytes = decodeBase64Url(secret);
    if (!bytes || bytes->size() != 16)
        return std::nullopt;
    return openssl::base64Url(sha256(*bytes));
}

std::string sha256Base64Url(std::string_view bytes) {
    return openssl::base64Url(sha256(bytes));
}

namespace {

/// Crockford's base32 digits, 0 to 31.
constexpr std::string_view kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::size_t kReplyCodeDigits = kReplyCodeBytes * 8 / 5;

/// The value of a typed digit; -1 for a character that is none.
int crockfordDigit(char c) {
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    switch (c) {
    case 'O': return 0;
    case 'I':
    case 'L': return 1;
    default: break;
    }
    const auto at = kCrockford.find(c);
    return c == '\0' || at == std::string_view::npos ? -1 : static_cast<int>(at);
}

} // namespace

std::string drawReplyCode() {
    std::string bytes(kReplyCodeBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                   static_cast<int>(bytes.size())) != 1)
        throw std::runtime_error(store_text::kNoRandomBytes);
    return bytes;
}

std::string replyCodeText(std::string_view bytes) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char byte : bytes) {
        // The bits not written yet: at most 4 left over, and 8 more.
        buffer = ((buffer << 8) | static_cast<unsigned char>(byte)) & 0xFFF;
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            if (!out.empty() && out.size() % 5 == 4)
                out += '-';
            out += kCrockford[(buffer >> bits) & 31];
        }
    }
    return out;
}

std::optional<std::string> readReplyCode(std::string_view typed) {
    std::string bytes;
    unsigned buffer = 0;
    int bits = 0;
    std::size_t digits = 0;
    for (const char c : typed) {
        if (c == '-' || c == ' ')
            continue;
        const int digit = crockfordDigit(c);
        if (digit < 0 || ++digits > kReplyCodeDigits)
            return std::nullopt;
        buffer = ((buffer << 5) | static_cast<unsigned>(digit)) & 0xFFF;
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    if (digits != kReplyCodeDigits)
        return std::nullopt;
    return bytes;
}

std::string replyKeyOfCode(std::string_view bytes) {
    return sha256Base64Url(bytes);
}

std::optional<StoredAnswer> AnswerStore::find(std::int64_t comment) {
    Statement s(connection_, "SELECT text, written, delivered FROM answers WHERE comment_id = ?");
    s.bind(1, comment);
    if (!s.step())
        return std::nullopt;
    return StoredAnswer{s.utf16(0), s.seconds(1), s.seconds(2)};
}

AnswerRefused AnswerStore::write(std::int64_t comment, const Text& text,
                                 std::chrono::sys_seconds now, const std::string& source) {
    Transaction transaction(connection_);
    const Target t = target(connection_, comment);
    if (!t.exists)
        return AnswerRefused::NoComment;
    if (!t.keyed)
        return AnswerRefused::NoKey;
    if (t.held)
        return AnswerRefused::Held;
    if (t.delivered)
        return AnswerRefused::Delivered;
    Statement s(connection_, "INSERT INTO answers (comment_id, text, written) VALUES (?, ?, ?) "
                             "ON CONFLICT (comment_id) DO UPDATE SET text = excluded.text, "
                             "written = excluded.written");
    s.bind(1, comment);
    s.bind(2, TextView(text));
    s.bind(3, now);
    s.step();
    // The number, never the text: the log is read by whoever may read it.
    audit_.append(t.answered ? store_text::kAnswerEdited : store_text::kAnswerWritten,
                  "#" + std::to_string(comment), source);
    transaction.commit();
    return AnswerRefused::None;
}

AnswerRefused AnswerStore::withdraw(std::int64_t comment, const std::string& source) {
    Transaction transaction(connection_);
    const Target t = target(connection_, comment);
    if (!t.exists)
        return AnswerRefused::NoComment;
    if (!t.answered)
        return AnswerRefused::NoAnswer;
    if (t.delivered)
        return AnswerRefused::Delivered;
    Statement s(connection_, "DELETE FROM answers WHERE comment_id = ? AND delivered = 0");
    s.bind(1, comment);
    s.step();
    audit_.append(store_text::kAnswerWithdrawn, "#" + std::to_string(comment), source);
    transaction.commit();
    return AnswerRefused::None;
}

std::vector<FoundAnswer> AnswerStore::forKeys(const std::vector<std::string>& keys,
                                              std::chrono::sys_seconds since) {
    std::vector<FoundAnswer> found;
    Statement s(connection_, std::string("SELECT c.id, a.text ") + kAnswerOfKey);
    for (const std::string& key : keys) {
        s.bind(1, key);
        s.bind(2, since);
        if (s.step())
            found.push_back({s.integer(0), key, s.utf16(1)});
        s.reset();
    }
    return found;
}

std::optional<Conversation> AnswerStore::conversation(const std::string& key,
                                                      std::chrono::sys_seconds since) {
    Statement s(connection_, std::string("SELECT c.text, a.text ") + kAnswerOfKey);
    s.bind(1, key);
    s.bind(2, since);
    if (!s.step())
        return std::nullopt;
    return Conversation{s.utf16(0), s.utf16(1)};
}

std::int64_t AnswerStore::waitingCount(std::chrono::sys_seconds since) {
    // A web comment's answer is read with its code, never delivered: it
    // waits for no tool.
    Statement s(connection_, "SELECT count(*) FROM comments c JOIN answers a ON a.comment_id = "
                             "c.id WHERE a.delivered = 0 AND c.held = '' AND c.received >= ? "
                             "AND c.source = ?");
    s.bind(1, since);
    s.bind(2, std::string(kFromDesktop));
    s.step();
    return s.integer(0);
}

bool AnswerStore::markDelivered(const std::string& key, const std::string& textHash,
                                std::chrono::sys_seconds now) {
    Transaction transaction(connection_);
    Statement s(connection_, "SELECT c.id, a.text FROM comments c JOIN answers a ON "
                             "a.comment_id = c.id WHERE c.reply_key = ? AND c.held = '' AND "
                             "a.delivered = 0");
    s.bind(1, key);
    if (!s.step() || sha256Base64Url(toUtf8(s.utf16(1))) != textHash)
        return false;
    const std::int64_t comment = s.integer(0);
    Statement mark(connection_, "UPDATE answers SET delivered = ? WHERE comment_id = ?");
    mark.bind(1, now);
    mark.bind(2, comment);
    mark.step();
    transaction.commit();
    return true;
}

} // namespace pelvoran::server
