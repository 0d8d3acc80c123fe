#include "platform/regional.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace pelvoran {

RegionalSettings::RegionalSettings(char16_t decimal, Text shortDate, Text longTime, Text am,
                                   Text pm)
    : decimal_(decimal), shortDate_(std::move(shortDate)), longTime_(std::move(longTime)),
      am_(std::move(am)), pm_(std::move(pm)) {}

RegionalSettings RegionalSettings::zhCN() {
    return RegionalSettings(u'.', u"%Y/%-m/%-d", u"%-H:%M:%S", u"上午", u"下午");
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

Text RegionalSettings::format(TextView pattern, const LocalDateTime& t) const {
    Text out;
    auto number = [&](int v, bool pad) {
        if (pad && v < 10 && v >= 0)
            out += u'0';
        for (char c : std::to_string(v))
            out += static_cast<char16_t>(c);
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != u'%' || i + 1 == pattern.size()) {
            out += pattern[i];
            continue;
        }
        bool pad = true;
        char16_t spec = pattern[++i];
        if (spec == u'-' && i + 1 < pattern.size()) {
            pad = false;
            spec = pattern[++i];
        }
        const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
        switch (spec) {
        case u'Y': number(t.year, false); break;
        case u'y': number(t.year % 100, pad); break;
        case u'm': number(t.month, pad); break;
        case u'd': number(t.day, pad); break;
        case u'e': number(t.day, false); break;
        case u'H': number(t.hour, pad); break;
        case u'k': number(t.hour, false); break;
        case u'I': number(hour12, pad); break;
        case u'l': number(hour12, false); break;
        case u'M': number(t.minute, pad); break;
        case u'S': number(t.second, pad); break;
        case u'p': out += t.hour < 12 ? am_ : pm_; break;
        case u'%': out += u'%'; break;
        default: out += u'%'; out += spec;
        }
    }
    return out;
}

Text RegionalSettings::formatDateTime(const LocalDateTime& t) const {
    Text out = format(shortDate_, t);
    if (t.hour != 0 || t.minute != 0 || t.second != 0) {
        out += u' ';
        out += format(longTime_, t);
    }
    return out;
}

} // namespace pelvoran
