#include "net/answer_keys.h"

#include "net/wire.h"
#include "platform/reply_secret.h"
#include "platform/signature.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

namespace pelvoran {

namespace {

constexpr std::string_view kFileHeader = "pelvoran-answer-keys 1";

std::vector<std::string_view> splitAt(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

/// The lines of a text whose lines each end in LF (the last one may not).
std::vector<std::string_view> linesOf(std::string_view text) {
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    if (text.empty())
        return {};
    return splitAt(text, '\n');
}

bool secretValid(std::string_view secret) {
    const auto bytes = decodeBase64Url(secret);
    return bytes && bytes->size() == kSecretBytes;
}

/// A day of the calendar.
std::chrono::year_month_day calendarDay(int year, int month, int day) {
    return {std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
            std::chrono::day(static_cast<unsigned>(day))};
}

long long daysSinceEpoch(std::chrono::year_month_day day) {
    return std::chrono::sys_days(day).time_since_epoch().count();
}

/// The days since 1970-01-01 of "YYYY-MM-DD", nullopt for anything else.
std::optional<long long> daysOf(std::string_view date) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-')
        return std::nullopt;
    for (std::size_t i = 0; i < date.size(); ++i) {
        if (i == 4 || i == 7)
            continue;
        if (date[i] < '0' || date[i] > '9')
            return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i)
            v = v * 10 + (date[i] - '0');
        return v;
    };
    const auto day = calendarDay(number(0, 4), number(5, 2), number(8, 2));
    if (!day.ok())
        return std::nullopt;
    return daysSinceEpoch(day);
}

std::optional<PendingAnswer> readRecord(std::string_view line) {
    const auto fields = splitAt(line, '\t');
    if (fields.size() != 5)
        return std::nullopt;
    PendingAnswer r{std::string(fields[0]),
                    std::string(fields[1]),
                    std::string(fields[2]),
                    std::string(fields[3]),
                    {}};
    if (!secretValid(r.secret) || r.keyHash != replyKeyHash(*decodeBase64Url(r.secret)) ||
        !commentNumberValid(r.number) || !daysOf(r.date))
        return std::nullopt;
    const auto bytes = decodeBase64Url(fields[4]);
    if (!bytes)
        return std::nullopt;
    auto comment = fromUtf8(*bytes);
    if (!comment)
        return std::nullopt;
    r.comment = std::move(*comment);
    return r;
}

/// Rewrites the file under its lock: `change` gets the records kept today
/// (none for a damaged file, which is set aside first).
bool rewrite(AnswerKeyFile& file, const LocalDateTime& today,
             const std::function<void(std::vector<PendingAnswer>&)>& change,
             std::vector<PendingAnswer>* result = nullptr) {
    bool setAside = false;
    const bool done = file.update([&](const std::optional<std::string>& contents) {
        std::vector<PendingAnswer> records;
        if (contents) {
            auto read = readPendingAnswers(*contents);
            if (!read) {
                setAside = true;
                return AnswerKeyFile::Change{AnswerKeyFile::Change::Kind::SetAside};
            }
            records = std::move(*read);
        }
        const std::size_t before = records.size();
        records = keptPendingAnswers(std::move(records), today);
        const bool dropped = records.size() != before;
        const std::vector<PendingAnswer> kept = records;
        if (change)
            change(records);
        records = keptPendingAnswers(std::move(records), today);
        if (result != nullptr)
            *result = records;
        if (!dropped && records == kept)
            return AnswerKeyFile::Change{AnswerKeyFile::Change::Kind::Keep};
        return AnswerKeyFile::Change{AnswerKeyFile::Change::Kind::Write,
                                     writePendingAnswers(records)};
    });
    if (done && setAside) // the damaged file is gone: start afresh
        return rewrite(file, today, change, result);
    return done;
}

} // namespace

std::string replyKeyHash(std::string_view secretBytes) {
    return encodeBase64Url(sha256(secretBytes));
}

bool commentNumberValid(std::string_view number) {
    return !number.empty() && number.size() <= 18 && number.front() != '0' &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string dayOf(const LocalDateTime& when) {
    char day[32];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", when.year, when.month, when.day);
    return day;
}

std::string writePendingAnswers(const std::vector<PendingAnswer>& records) {
    std::string file(kFileHeader);
    file += '\n';
    for (const PendingAnswer& r : records)
        file += r.secret + '\t' + r.keyHash + '\t' + r.number + '\t' + r.date + '\t' +
                encodeBase64Url(toUtf8(r.comment)) + '\n';
    return file;
}

std::optional<std::vector<PendingAnswer>> readPendingAnswers(std::string_view file) {
    if (!file.ends_with('\n'))
        return std::nullopt; // cut short
    const auto lines = linesOf(file);
    if (lines.empty() || lines.front() != kFileHeader)
        return std::nullopt;
    std::vector<PendingAnswer> records;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto record = readRecord(lines[i]);
        if (!record)
            return std::nullopt;
        records.push_back(std::move(*record));
    }
    return records;
}

std::vector<PendingAnswer> keptPendingAnswers(std::vector<PendingAnswer> records,
                                              const LocalDateTime& today) {
    const long long now = daysSinceEpoch(calendarDay(today.year, today.month, today.day));
    std::erase_if(records, [now](const PendingAnswer& r) {
        const auto day = daysOf(r.date);
        return !day || now - *day > kPendingAnswerDays;
    });
    if (records.size() > kMaxPendingAnswers)
        records.erase(records.begin(),
                      records.begin() + static_cast<long>(records.size() - kMaxPendingAnswers));
    return records;
}

std::vector<PendingAnswer> loadPendingAnswers(AnswerKeyFile& file, const LocalDateTime& today) {
    std::vector<PendingAnswer> records;
    if (!rewrite(file, today, {}, &records))
        return {};
    return records;
}

bool addPendingAnswer(AnswerKeyFile& file, const PendingAnswer& record,
                      const LocalDateTime& today) {
    return rewrite(file, today, [&](std::vector<PendingAnswer>& records) {
        std::erase_if(records, [&](const PendingAnswer& r) { return r.secret == record.secret; });
        records.push_back(record);
    });
}

bool dropPendingAnswer(AnswerKeyFile& file, std::string_view secret, const LocalDateTime& today) {
    return rewrite(file, today, [&](std::vector<PendingAnswer>& records) {
        std::erase_if(records, [&](const PendingAnswer& r) { return r.secret == secret; });
    });
}

std::string answersRequestBody(const std::vector<PendingAnswer>& records) {
    std::string body;
    for (const PendingAnswer& r : records)
        body += r.secret + '\n';
    return body;
}

std::optional<std::vector<FetchedAnswer>>
readAnswersReply(std::string_view body, const std::vector<PendingAnswer>& records) {
    std::vector<FetchedAnswer> answers;
    std::set<std::string> seen;
    for (const std::string_view line : linesOf(body)) {
        const auto fields = splitAt(line, '\t');
        if (fields.size() != 4)
            return std::nullopt;
        const auto record = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return r.number == fields[0] && r.keyHash == fields[1];
        });
        if (record == records.end() || !seen.insert(record->secret).second)
            return std::nullopt;
        const auto bytes = decodeBase64Url(fields[3]);
        if (!bytes)
            return std::nullopt;
        auto text = fromUtf8(*bytes);
        if (!text)
            return std::nullopt;
        answers.push_back(
            {*record, std::string(fields[2]), std::move(*text), encodeBase64Url(sha256(*bytes))});
    }
    return answers;
}

std::string answerMessage(std::string_view number, std::string_view keyHash, TextView text) {
    const std::string separator(wire::kReplySeparator.ascii());
    return "pelvoran-answer-v1" + separator + std::string(number) + separator +
           std::string(keyHash) + separator + toUtf8(text);
}

bool answerSigned(const FetchedAnswer& answer, std::string_view publicKey) {
    return releaseSignatureValid(
        publicKey, answerMessage(answer.record.number, answer.record.keyHash, answer.text),
        answer.signature);
}

std::string seenRequestBody(const FetchedAnswer& answer) {
    return answer.record.secret + '\t' + answer.textHash + '\n';
}

} // namespace pelvoran
