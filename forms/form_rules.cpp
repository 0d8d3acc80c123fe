#include "forms/form_rules.h"

#include <algorithm>

namespace pelvoran::form_rule {

namespace {

constexpr char16_t kEllipsis = u'\u2026';

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

} // namespace

bool isLineBreak(char16_t c) {
    switch (c) {
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case u'\u0085':
    case u'\u2028':
    case u'\u2029': return true;
    default: return false;
    }
}

TextView firstLine(TextView text) {
    const auto end = std::find_if(text.begin(), text.end(), isLineBreak);
    return text.substr(0, static_cast<std::size_t>(end - text.begin()));
}

Text keepFirstLineOfInsertion(TextView before, TextView after, std::size_t cursor) {
    // The edit put its text in just before the cursor: what follows the
    // cursor and matches the end of the old text was there before, and so was
    // what the old and the new text share at the front.
    cursor = std::min(cursor, after.size());
    const std::size_t maxBack = std::min(after.size() - cursor, before.size());
    std::size_t back = 0;
    while (back < maxBack && before[before.size() - 1 - back] == after[after.size() - 1 - back])
        ++back;
    const std::size_t maxFront = std::min(cursor, before.size() - back);
    std::size_t front = 0;
    while (front < maxFront && before[front] == after[front])
        ++front;
    const TextView inserted = after.substr(front, after.size() - front - back);
    Text kept(after.substr(0, front));
    kept += firstLine(inserted);
    kept += after.substr(after.size() - back);
    return kept;
}

Text commentWithCrLf(TextView boxText) {
    Text out;
    out.reserve(boxText.size() + boxText.size() / 8);
    for (std::size_t i = 0; i < boxText.size(); ++i) {
        const char16_t c = boxText[i];
        if (c == u'\r' || c == u'\n' || c == u'\u2029') {
            if (c == u'\r' && i + 1 < boxText.size() && boxText[i + 1] == u'\n')
                ++i;
            out += u"\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

/// Where the last line begins: after the last line break that has text after
/// it other than line breaks; 0 for a message of one line.
std::size_t lastLineStart(TextView message) {
    std::size_t end = message.size();
    while (end > 0 && message[end - 1] == kLineBreak)
        --end;
    const std::size_t br = message.substr(0, end).rfind(kLineBreak);
    return br == TextView::npos ? 0 : br;
}

} // namespace

std::size_t messageBodyLength(TextView message) {
    const std::size_t start = lastLineStart(message);
    return start == 0 ? message.size() : start;
}

Text cutMessageBody(TextView message, std::size_t keep) {
    const std::size_t body = messageBodyLength(message);
    if (keep >= body)
        return Text(message);
    if (keep > 0 && isHighSurrogate(message[keep - 1]))
        --keep;
    Text cut(message.substr(0, keep));
    cut += kEllipsis;
    cut += message.substr(body);
    return cut;
}

} // namespace pelvoran::form_rule
