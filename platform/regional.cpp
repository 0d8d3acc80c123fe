#include "platform/regional.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

namespace pelvoran {

RegionalSettings::RegionalSettings(char16_t decimal, Text shortDate, Text longTime, Text am,
                                   Text pm)
    : RegionalSettings(decimal, std::move(shortDate), std::move(longTime), DateTimeNames{}) {
    names_.am = std::move(am);
    names_.pm = std::move(pm);
}

RegionalSettings::RegionalSettings(char16_t decimal, Text shortDate, Text longTime,
                                   DateTimeNames names)
    : decimal_(decimal), shortDate_(std::move(shortDate)), longTime_(std::move(longTime)),
      names_(std::move(names)) {}

RegionalSettings RegionalSettings::zhCN() {
    return RegionalSettings(u'.', u"%Y/%-m/%-d", u"%-H:%M:%S", u"上午", u"下午");
}

RegionalSettings RegionalSettings::invariant() {
    return RegionalSettings(u'.', u"%m/%d/%Y", u"%H:%M:%S", DateTimeNames{});
}

std::optional<double> RegionalSettings::parseNumber(TextView s) const {
    s = trimBlanks(s);
    std::string ascii;
    ascii.reserve(s.size());
    std::size_t i = 0;
    auto isDigit = [&](std::size_t k) { return k < s.size() && s[k] >= u'0' && s[k] <= u'9'; };
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        if (s[i] == u'-')
            ascii += '-';
        ++i;
    }
    std::size_t digits = 0;
    for (; isDigit(i); ++i, ++digits)
        ascii += static_cast<char>(s[i]);
    if (i < s.size() && s[i] == decimal_) {
        ascii += '.';
        for (++i; isDigit(i); ++i, ++digits)
            ascii += static_cast<char>(s[i]);
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ascii += 'e';
        ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
            ascii += static_cast<char>(s[i++]);
        if (!isDigit(i))
            return std::nullopt;
        for (; isDigit(i); ++i)
            ascii += static_cast<char>(s[i]);
    }
    if (i != s.size())
        return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (ec != std::errc() || end != ascii.data() + ascii.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

Text RegionalSettings::formatNumber(double value) const {
    if (value == 0)
        return u"0"; // also for -0
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    Text out;
    for (const char* p = buf; p != res.ptr; ++p) {
        if (*p == '.')
            out += decimal_;
        else if (*p == 'e')
            out += u'E';
        else
            out += static_cast<char16_t>(*p);
    }
    return out;
}

namespace {

/// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long daysFromCivil(long long y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool isLeap(long long y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

/// Days since the Monday that starts ISO week 1, as glibc's strftime counts them.
int isoWeekDays(int yday, int wday) {
    constexpr int kBigMultipleOf7 = (366 / 7 + 2) * 7;
    return yday - (yday - wday + 4 + kBigMultipleOf7) % 7 + 4 - 1;
}

char16_t upper(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    return c;
}

char16_t lower(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 0x20);
    return c;
}

/// How one directive's field is written: its flags, width and case.
struct FieldFormat {
    char16_t pad = 0; // 0, '-', '_', '0' or '+'
    int width = -1;
    bool upperCase = false;
    bool changeCase = false;
};

/// Appends a rendered field, padded on the left to the field width.
void appendField(Text& out, TextView field, const FieldFormat& format, bool toUpper, bool toLower) {
    if (format.width > 0 && static_cast<std::size_t>(format.width) > field.size())
        out.append(static_cast<std::size_t>(format.width) - field.size(),
                   format.pad == u'0' || format.pad == u'+' ? u'0' : u' ');
    for (const char16_t c : field)
        out += toLower ? lower(c) : toUpper ? upper(c) : c;
}

/// A number with at least `digits` digits, padded with zeros, or blanks when
/// `blanks` (glibc's rules for the flags "-", "_" and "0").
void appendNumber(Text& out, long long value, int digits, bool blanks, const FieldFormat& format) {
    if (format.width > digits)
        digits = format.width;
    char16_t pad = format.pad;
    if (blanks && pad != u'0' && pad != u'-')
        pad = u'_';
    const bool negative = value < 0;
    Text text;
    for (const char c : std::to_string(negative ? -value : value))
        text += static_cast<char16_t>(c);
    if (negative)
        text.insert(text.begin(), u'-');
    if (pad != u'-' && static_cast<int>(text.size()) < digits) {
        const auto fill = static_cast<std::size_t>(digits) - text.size();
        if (pad == u'_')
            text.insert(0, fill, u' ');
        else
            text.insert(negative ? 1 : 0, fill, u'0');
    }
    appendField(out, text, format, false, false);
}

/// A directive: its flags, width and case, and the conversion character.
struct Directive {
    FieldFormat format;
    char16_t conversion = 0;
};

/// Reads the directive whose "%" stands at `i` and moves `i` to its last
/// character; nullopt for one left unfinished at the end of the pattern.
std::optional<Directive> readDirective(TextView pattern, std::size_t& i) {
    Directive d;
    std::size_t k = i + 1;
    for (; k < pattern.size(); ++k) {
        const char16_t f = pattern[k];
        if (f == u'-' || f == u'_' || f == u'0' || f == u'+')
            d.format.pad = f;
        else if (f == u'^')
            d.format.upperCase = true;
        else if (f == u'#')
            d.format.changeCase = true;
        else
            break;
    }
    if (k < pattern.size() && pattern[k] >= u'1' && pattern[k] <= u'9') {
        d.format.width = 0;
        for (; k < pattern.size() && pattern[k] >= u'0' && pattern[k] <= u'9'; ++k)
            d.format.width =
                d.format.width > 9999 ? d.format.width : d.format.width * 10 + (pattern[k] - u'0');
        d.format.width = d.format.width > 1024 ? 1024 : d.format.width;
    }
    if (k < pattern.size() && (pattern[k] == u'E' || pattern[k] == u'O'))
        ++k;
    i = k;
    if (k >= pattern.size())
        return std::nullopt;
    d.conversion = pattern[k];
    return d;
}

/// The day counts that a date-time's directives are worked out from.
struct Calendar {
    explicit Calendar(const LocalDateTime& t)
        : days(daysFromCivil(t.year, t.month, t.day)),
          wday(static_cast<int>(((days + 4) % 7 + 7) % 7)), // 1970-01-01 was a Thursday
          yday(static_cast<int>(days - daysFromCivil(t.year, 1, 1))),
          hour12(t.hour % 12 == 0 ? 12 : t.hour % 12), year(t.year) {}

    /// The ISO week-numbering year and the days since its first Monday.
    std::pair<long long, int> isoYear() const {
        long long y = year;
        int d = isoWeekDays(yday, wday);
        if (d < 0) {
            --y;
            d = isoWeekDays(yday + (isLeap(y) ? 366 : 365), wday);
        } else {
            const int next = isoWeekDays(yday - (isLeap(y) ? 366 : 365), wday);
            if (next >= 0) {
                ++y;
                d = next;
            }
        }
        return {y, d};
    }

    long long days;
    int wday;
    int yday;
    int hour12;
    long long year;
};

/// Appends a directive that writes a number of the calendar; false when the
/// conversion is not one of them.
bool appendCalendarNumber(Text& out, const Directive& d, const LocalDateTime& t,
                          const Calendar& c) {
    const FieldFormat& format = d.format;
    auto number = [&](long long value, int digits) {
        appendNumber(out, value, digits, false, format);
    };
    auto blankPadded = [&](long long value) { appendNumber(out, value, 2, true, format); };
    // Years pad only when asked to ("%Y" of 999 is "999").
    auto year = [&](long long value, int digits) {
        appendNumber(out, value, format.pad == u'0' || format.pad == u'+' ? digits : 1, false,
                     format);
    };
    switch (d.conversion) {
    case u'Y': year(t.year, 4); break;
    case u'C': year(t.year >= 0 ? t.year / 100 : -((99 - t.year) / 100), 2); break;
    case u'y': number((t.year % 100 + 100) % 100, 2); break;
    case u'G': year(c.isoYear().first, 4); break;
    case u'g': number((c.isoYear().first % 100 + 100) % 100, 2); break;
    case u'V': number(c.isoYear().second / 7 + 1, 2); break;
    case u'm': number(t.month, 2); break;
    case u'd': number(t.day, 2); break;
    case u'e': blankPadded(t.day); break;
    case u'j': number(c.yday + 1, 3); break;
    case u'H': number(t.hour, 2); break;
    case u'I': number(c.hour12, 2); break;
    case u'k': blankPadded(t.hour); break;
    case u'l': blankPadded(c.hour12); break;
    case u'M': number(t.minute, 2); break;
    case u'S': number(t.second, 2); break;
    case u'u': number(c.wday == 0 ? 7 : c.wday, 1); break;
    case u'w': number(c.wday, 1); break;
    case u'U': number((c.yday + 7 - c.wday) / 7, 2); break;
    case u'W': number((c.yday + 7 - (c.wday + 6) % 7) / 7, 2); break;
    default: return false;
    }
    return true;
}

/// The texts a directive may stand for.
struct Texts {
    const DateTimeNames& names;
    TextView shortDate;
    TextView longTime;
    /// Renders a pattern that a composite directive stands for.
    std::function<Text(TextView)> render;
};

/// Appends a directive that writes a name, a composite pattern, the time
/// zone, the seconds since the epoch or a character; nothing for an unknown one.
void appendOther(Text& out, const Directive& d, const LocalDateTime& t, long long days,
                 const Texts& texts) {
    const FieldFormat& format = d.format;
    const bool upperNames = format.upperCase || format.changeCase;
    auto name = [&](const Text& text) { appendField(out, text, format, upperNames, false); };
    auto composite = [&](TextView sub) {
        appendField(out, texts.render(sub), format, format.upperCase, false);
    };
    const auto wday = static_cast<std::size_t>(((days + 4) % 7 + 7) % 7);
    switch (d.conversion) {
    case u's': {
        const long long seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
        appendNumber(out, seconds - texts.names.utcOffsetSeconds, 1, false, format);
        break;
    }
    case u'a': name(texts.names.shortWeekdays[wday]); break;
    case u'A': name(texts.names.weekdays[wday]); break;
    case u'b':
    case u'h':
        if (t.month >= 1 && t.month <= 12)
            name(texts.names.shortMonths[static_cast<std::size_t>(t.month - 1)]);
        break;
    case u'B':
        if (t.month >= 1 && t.month <= 12)
            name(texts.names.months[static_cast<std::size_t>(t.month - 1)]);
        break;
    case u'p':
    case u'P':
        appendField(out, t.hour < 12 ? texts.names.am : texts.names.pm, format,
                    format.upperCase && d.conversion == u'p',
                    d.conversion == u'P' || format.changeCase);
        break;
    case u'Z':
        appendField(out, texts.names.zoneName, format, format.upperCase, format.changeCase);
        break;
    case u'z': {
        const int offset = texts.names.utcOffsetSeconds;
        out += offset < 0 ? u'-' : u'+';
        const int minutes = (offset < 0 ? -offset : offset) / 60;
        appendNumber(out, minutes / 60 * 100 + minutes % 60, 4, false, format);
        break;
    }
    case u'D': composite(u"%m/%d/%y"); break;
    case u'F': composite(u"%+4Y-%m-%d"); break;
    case u'T': composite(u"%H:%M:%S"); break;
    case u'R': composite(u"%H:%M"); break;
    case u'r': composite(texts.names.time12); break;
    case u'x': composite(texts.shortDate); break;
    case u'X': composite(texts.longTime); break;
    case u'c': composite(texts.names.dateTime); break;
    case u'n': out += u'\n'; break;
    case u't': out += u'\t'; break;
    case u'%': appendField(out, u"%", format, false, false); break;
    default: break; // unknown: renders as nothing
    }
}

} // namespace

void RegionalSettings::render(Text& out, TextView pattern, const LocalDateTime& t,
                              int depth) const {
    // Composite directives stand for other patterns; a pattern that names
    // itself ends here instead of recursing for ever.
    if (depth > 4)
        return;
    const Calendar calendar(t);
    const Texts texts{names_, shortDate_, longTime_, [&](TextView sub) {
                          Text part;
                          render(part, sub, t, depth + 1);
                          return part;
                      }};
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != u'%') {
            out += pattern[i];
            continue;
        }
        const std::optional<Directive> d = readDirective(pattern, i);
        if (d && !appendCalendarNumber(out, *d, t, calendar))
            appendOther(out, *d, t, calendar.days, texts);
    }
}

Text RegionalSettings::formatPattern(TextView pattern, const LocalDateTime& t) const {
    Text out;
    render(out, pattern, t, 0);
    return out;
}

Text RegionalSettings::formatDateTime(const LocalDateTime& t) const {
    Text out = formatPattern(shortDate_, t);
    if (t.hour != 0 || t.minute != 0 || t.second != 0) {
        out += u' ';
        out += formatPattern(longTime_, t);
    }
    return out;
}

} // namespace pelvoran
