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

Text fitMessage(const Text& message, const std::function<bool(const Text&)>& fits) {
    if (fits(message))
        return message;
    std::size_t fitting = 0;
    std::size_t tooLong = messageBodyLength(message);
    while (tooLong - fitting > 1) {
        const std::size_t keep = fitting + (tooLong - fitting) / 2;
        (fits(cutMessageBody(message, keep)) ? fitting : tooLong) = keep;
    }
    return cutMessageBody(message, fitting);
}

namespace {

bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool isIdeographic(char16_t c) {
    return (c >= 0x2E80 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF);
}

bool neverStartsALine(char16_t c) {
    return TextView(u"，。、；：？！）》」』】〕〉”’…·,.;:?!)]}%").find(c) != TextView::npos ||
           isLowSurrogate(c);
}

bool neverEndsALine(char16_t c) {
    return TextView(u"（《「『【〔〈“‘([{").find(c) != TextView::npos || isHighSurrogate(c);
}

bool canBreakBefore(TextView s, std::size_t p) {
    const char16_t before = s[p - 1];
    const char16_t after = s[p];
    if (neverStartsALine(after) || neverEndsALine(before))
        return false;
    return (before == u' ' && after != u' ') || isIdeographic(before) || isIdeographic(after);
}

/// How many code units of `text` fit within `width`: widths of a longer
/// start are never smaller, so the answer is found by halving.
std::size_t fittingLength(TextView text, int width, const MeasureText& measure) {
    std::size_t fits = 0;
    std::size_t tooLong = text.size() + 1;
    while (tooLong - fits > 1) {
        const std::size_t n = fits + (tooLong - fits) / 2;
        (measure(text.substr(0, n)) <= width ? fits : tooLong) = n;
    }
    return fits;
}

void wrapParagraph(TextView paragraph, int width, const MeasureText& measure,
                   std::vector<TextView>& lines) {
    std::size_t start = 0;
    do {
        std::size_t end = start + fittingLength(paragraph.substr(start), width, measure);
        std::size_t next = end;
        while (next < paragraph.size() && paragraph[next] == u' ')
            ++next;
        if (end < paragraph.size() && next == end) {
            std::size_t b = end;
            while (b > start && !canBreakBefore(paragraph, b))
                --b;
            if (b == start) { // nowhere to end a line: cut it at the edge
                b = std::max(end, start + 1);
                if (b < paragraph.size() && isLowSurrogate(paragraph[b]))
                    b = b - 1 > start ? b - 1 : b + 1;
            }
            end = next = b;
        }
        std::size_t shown = end; // blanks that end a line hang past the edge
        while (shown > start && paragraph[shown - 1] == u' ')
            --shown;
        lines.push_back(paragraph.substr(start, shown - start));
        start = next;
    } while (start < paragraph.size());
}

} // namespace

std::vector<TextView> wrapLabel(TextView caption, int width, const MeasureText& measure) {
    std::vector<TextView> lines;
    std::size_t start = 0;
    while (start <= caption.size()) {
        std::size_t end = caption.find_first_of(u"\r\n", start);
        if (end == TextView::npos)
            end = caption.size();
        wrapParagraph(caption.substr(start, end - start), width, measure, lines);
        if (end + 1 < caption.size() && caption[end] == u'\r' && caption[end + 1] == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

} // namespace pelvoran::form_rule
