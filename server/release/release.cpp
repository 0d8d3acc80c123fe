#include "server/release/release.h"

#include "server/release/release_texts.h"

#include "net/update_check.h"
#include "net/wire.h"
#include "platform/hex.h"
#include "platform/regional.h"
#include "platform/value_numbers.h"
#include "platform/version.h"

#include <algorithm>
#include <vector>

namespace pelvoran::server {
namespace {

bool isControl(char16_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == u'\u2028' || c == u'\u2029';
}

/// Marks that reorder what is shown: "exe.txt" can be made to read "txt.exe".
bool isBidiControl(char16_t c) {
    return c == u'\u061C' || c == u'\u200E' || c == u'\u200F' || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

/// Unicode's format characters (category Cf, Unicode 15.1): most show
/// nothing, and all of them change what a text looks like ("pel\u200Bvoran"
/// reads as "pelvoran", U+E0041 is an invisible "A").
constexpr struct {
    char32_t first, last;
} kFormatCharacters[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

/// The first format character of `field`, a surrogate pair read as one.
std::optional<char32_t> formatCharacter(TextView field) {
    for (std::size_t i = 0; i < field.size(); ++i) {
        char32_t c = field[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < field.size() && field[i + 1] >= 0xDC00 &&
            field[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (field[++i] - 0xDC00);
        for (const auto& range : kFormatCharacters)
            if (c >= range.first && c <= range.last)
                return c;
    }
    return std::nullopt;
}

bool hasControl(TextView field, bool lineBreaksAllowed) {
    for (const char16_t c : field)
        if (isControl(c) && !(lineBreaksAllowed && (c == u'\r' || c == u'\n')))
            return true;
    return false;
}

/// Digits with at most one "." between digits: what the tool reads the same
/// way in every locale. Short enough that no digit is lost.
bool isPlainDecimal(TextView v) {
    constexpr std::size_t kMaxLength = 12;
    if (v.empty() || v.size() > kMaxLength)
        return false;
    const std::size_t dot = v.find(u'.');
    for (std::size_t i = 0; i < v.size(); ++i)
        if (i != dot && (v[i] < u'0' || v[i] > u'9'))
            return false;
    return dot == TextView::npos || (dot > 0 && dot + 1 < v.size());
}

/// "01.07" or "007": the tool reads them as 1.07 and 7, the publisher may not.
bool hasLeadingZero(TextView v) {
    return v.size() > 1 && v[0] == u'0' && v[1] != u'.';
}

/// "1.06", "1.60", "2.00": a plain decimal written so that a person's order
/// and the tool's numeric one agree ("1.6" is 1.60, above 1.07).
bool hasTwoDecimals(TextView v) {
    const std::size_t dot = v.find(u'.');
    return dot != TextView::npos && dot + 3 == v.size();
}

/// "http://name@host/": what the publisher reads as the host is not where
/// the tool goes. The authority ends where the tool's opener ends it.
bool hasUserInformation(TextView address) {
    const std::size_t scheme = address.find(u"://");
    if (scheme == TextView::npos)
        return false;
    const TextView rest = address.substr(scheme + 3);
    return rest.substr(0, rest.find_first_of(u"/?#")).find(u'@') != TextView::npos;
}

Text firstFieldVersion() {
    return fromUtf8Lenient(kFirstFieldVersion);
}

/// A plain decimal's value, read as the tool reads the version field.
double versionValue(const Text& v) {
    Value value = v;
    return std::get<double>(Null2Int(value, RegionalSettings::invariant()));
}

/// The two-decimal versions a plain decimal without two decimals may have
/// meant, lowest first, each above the first field version: the same value
/// ("1.6" as 1.60, "1.060" as 1.06) and its decimals read as a number ("1.6"
/// as 1.06, "1.060" as 1.60).
std::vector<Text> twoDecimalReadings(TextView v) {
    const std::size_t dot = v.find(u'.');
    const Text whole(v.substr(0, dot));
    const TextView decimals = dot == TextView::npos ? TextView() : v.substr(dot + 1);
    std::vector<Text> readings;
    if (decimals.size() <= 2)
        readings.push_back(whole + u"." + Text(decimals) + Text(2 - decimals.size(), u'0'));
    else if (decimals.find_first_not_of(u'0', 2) == TextView::npos)
        readings.push_back(whole + u"." + Text(decimals.substr(0, 2)));
    if (!decimals.empty()) {
        const std::size_t first = std::min(decimals.find_first_not_of(u'0'), decimals.size());
        const TextView number = decimals.substr(first);
        if (number.size() <= 2)
            readings.push_back(whole + u"." + Text(2 - number.size(), u'0') + Text(number));
    }
    std::erase_if(readings, [](const Text& r) {
        return versionValue(r) <= versionValue(firstFieldVersion());
    });
    std::sort(readings.begin(), readings.end(),
              [](const Text& a, const Text& b) { return versionValue(a) < versionValue(b); });
    readings.erase(std::unique(readings.begin(), readings.end()), readings.end());
    return readings;
}

Text twoDecimalsProblem(TextView v) {
    Text message = release_text::kTwoDecimals;
    const auto readings = twoDecimalReadings(v);
    for (std::size_t i = 0; i < readings.size(); ++i)
        message +=
            (i == 0 ? Text(release_text::kDidYouMean) : Text(release_text::kOr)) + readings[i];
    if (!readings.empty())
        message += release_text::kQuestionMark;
    return message;
}

Text formatCharacterProblem(char32_t c) {
    std::u16string code;
    appendHex(code, c, 4);
    return release_text::formatCharacterRefused(code);
}

} // namespace

Text lfLineBreaks(TextView notes) {
    Text out;
    out.reserve(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        if (notes[i] != u'\r')
            out += notes[i];
        else if (i + 1 == notes.size() || notes[i + 1] != u'\n')
            out += u'\n'; // a lone CR; the LF of a CR LF comes next
    }
    return out;
}

std::optional<Text> rollbackNotice(const Release& next, const std::optional<Release>& published) {
    if (!published || !isPlainDecimal(published->version) ||
        versionValue(next.version) >= versionValue(published->version))
        return std::nullopt;
    return release_text::rollback(next.version, published->version);
}

std::vector<ReleaseProblem> releaseProblems(const Release& r) {
    std::vector<ReleaseProblem> problems;
    const auto has = [&](ReleaseField f) {
        return std::any_of(problems.begin(), problems.end(),
                           [f](const ReleaseProblem& p) { return p.field == f; });
    };
    // One problem per field, the first found: the publisher mends them all
    // in one go.
    const auto add = [&](ReleaseField f, Text message) {
        if (!has(f))
            problems.push_back({f, std::move(message)});
    };
    const struct {
        ReleaseField field;
        const Text& text;
    } fields[] = {{ReleaseField::Version, r.version},
                  {ReleaseField::Address, r.address},
                  {ReleaseField::Date, r.date},
                  {ReleaseField::Notes, r.notes}};
    for (const auto& f : fields) {
        const bool notes = f.field == ReleaseField::Notes;
        if (f.text.find(wire::kReplySeparator.text()) != Text::npos)
            add(f.field, release_text::holdsSeparator(Text(wire::kReplySeparator.text())));
        else if (std::any_of(f.text.begin(), f.text.end(), isBidiControl))
            add(f.field, release_text::kBidiControl);
        else if (const auto c = formatCharacter(f.text))
            add(f.field, formatCharacterProblem(*c));
        else if (hasControl(f.text, notes))
            add(f.field, notes ? release_text::kControlInNotes : release_text::kControl);
    }
    if (isPlainDecimal(r.version) && hasLeadingZero(r.version))
        add(ReleaseField::Version, release_text::kLeadingZero);
    if (!isPlainDecimal(r.version) || versionValue(r.version) <= versionValue(firstFieldVersion()))
        add(ReleaseField::Version, release_text::notAboveFirst(firstFieldVersion()));
    if (isPlainDecimal(r.version) && !hasTwoDecimals(r.version))
        add(ReleaseField::Version, twoDecimalsProblem(r.version));
    if (!safeDownloadAddress(r.address))
        add(ReleaseField::Address, release_text::kNotWebAddress);
    if (hasUserInformation(r.address))
        add(ReleaseField::Address, release_text::kUserBeforeHost);
    if (notesForPrompt(r.notes) != r.notes)
        add(ReleaseField::Notes, release_text::kNotesTooLong);
    std::stable_sort(
        problems.begin(), problems.end(),
        [](const ReleaseProblem& a, const ReleaseProblem& b) { return a.field < b.field; });
    return problems;
}

std::optional<ReleaseProblem> checkRelease(const Release& r) {
    auto problems = releaseProblems(r);
    if (problems.empty())
        return std::nullopt;
    return problems.front();
}

std::string escapeReplyField(TextView field) {
    std::string out;
    out.reserve(field.size());
    for (const char16_t c : field) {
        if (c == u'%') {
            out += "%25";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += "%u";
            appendHex(out, c, 4);
        }
    }
    return out;
}

std::string replyBody(const Release& r) {
    const std::string separator(wire::kReplySeparator.ascii());
    return escapeReplyField(r.version) + separator + escapeReplyField(r.address) + separator +
           escapeReplyField(r.date) + separator + escapeReplyField(r.notes) +
           (r.signature.empty() ? "" : separator + escapeReplyField(fromUtf8Lenient(r.signature)));
}

} // namespace pelvoran::server
