#pragma once

// The tool's pending answer keys: one record for each comment the server
// numbered, kept until its answer was shown and confirmed, for at most 180
// days and 20 comments; the request that fetches the answers and the reply's
// lines.

#include "platform/answer_key_file.h"
#include "platform/regional.h"
#include "platform/text.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran {

/// One comment the server numbered, whose answer the tool waits for.
struct PendingAnswer {
    std::string secret;  // S: base64url of the 16 bytes, 22 characters
    std::string keyHash; // K: base64url of the SHA-256 of S's bytes, 43 characters
    std::string number;  // N: the comment's number, decimal
    std::string date;    // the day it was sent, YYYY-MM-DD
    Text comment;        // the comment as it was sent

    bool operator==(const PendingAnswer&) const = default;
};

inline constexpr std::size_t kMaxPendingAnswers = 20;
inline constexpr int kPendingAnswerDays = 180;

/// K for a secret's bytes.
std::string replyKeyHash(std::string_view secretBytes);

/// True when `number` is a comment number as the server writes it: 1 to 18
/// decimal digits, no leading zero.
bool commentNumberValid(std::string_view number);

/// The day of `when` as YYYY-MM-DD.
std::string dayOf(const LocalDateTime& when);

/// The file's text for `records`: the first line "pelvoran-answer-keys 1",
/// then a line per record.
std::string writePendingAnswers(const std::vector<PendingAnswer>& records);

/// The records of a file's text; nullopt for a damaged one (another first
/// line, or any line that is not a whole record).
std::optional<std::vector<PendingAnswer>> readPendingAnswers(std::string_view file);

/// The records kept on `today`: those older than 180 days dropped, then at
/// most the 20 newest (the last ones), in their order.
std::vector<PendingAnswer> keptPendingAnswers(std::vector<PendingAnswer> records,
                                              const LocalDateTime& today);

/// The records the file holds on `today` (the rules applied, and written back
/// when they dropped any). A damaged file is set aside: none. No file, or one
/// that cannot be read: none.
std::vector<PendingAnswer> loadPendingAnswers(AnswerKeyFile& file, const LocalDateTime& today);

/// Adds a record (the oldest going beyond 20); a damaged file is set aside
/// and the new record starts a new one. False when it could not be kept.
bool addPendingAnswer(AnswerKeyFile& file, const PendingAnswer& record, const LocalDateTime& today);

/// Drops the record of `secret`. False when the file could not be changed.
bool dropPendingAnswer(AnswerKeyFile& file, std::string_view secret, const LocalDateTime& today);

/// An answer as the server sent it for one of the records.
struct FetchedAnswer {
    PendingAnswer record;
    std::string signature; // "sig1:..."
    Text text;             // T
    std::string textHash;  // H: base64url of the SHA-256 of T's UTF-8 bytes
};

/// The body of the fetch: the secrets, one a line, each line ending in LF.
std::string answersRequestBody(const std::vector<PendingAnswer>& records);

/// The answers of a fetch's reply body, in the reply's order: each line
/// N TAB K TAB signature TAB base64url(T), and an S of `records` whose N and
/// K the line carries. Nullopt for a malformed reply (a line not of four
/// fields, N and K of no record, T not base64url of UTF-8): then nothing of
/// it is taken.
std::optional<std::vector<FetchedAnswer>>
readAnswersReply(std::string_view body, const std::vector<PendingAnswer>& records);

/// What the publisher signs for an answer: the UTF-8 bytes of
/// "pelvoran-answer-v1[;]" + N + "[;]" + K + "[;]" + T.
std::string answerMessage(std::string_view number, std::string_view keyHash, TextView text);

/// True when the answer's signature by `publicKey` covers the record's N and
/// K and the answer's text.
bool answerSigned(const FetchedAnswer& answer, std::string_view publicKey);

/// The confirm's body: S TAB H LF for the answer shown.
std::string seenRequestBody(const FetchedAnswer& answer);

} // namespace pelvoran
