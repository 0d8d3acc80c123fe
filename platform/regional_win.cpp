// Regional settings from the user's locale (GetLocaleInfoEx).
#include "platform/regional_win.h"
#include "platform/regional.h"

#include <windows.h>

namespace pelvoran {
namespace {

/// One locale item as text; empty when the system has none.
Text localeItem(LCTYPE item) {
    wchar_t buf[128];
    const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, item, buf, 128);
    if (n <= 1)
        return {};
    return Text(buf, buf + n - 1);
}

Text orElse(Text value, const Text& fallback) {
    return value.empty() ? fallback : value;
}

} // namespace

Text patternFromWindowsPicture(TextView picture) {
    Text out;
    std::size_t i = 0;
    while (i < picture.size()) {
        const char16_t c = picture[i];
        if (c == u'\'') {
            // Quoted text up to the closing quote; '' stands for one quote.
            ++i;
            while (i < picture.size()) {
                if (picture[i] == u'\'') {
                    if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
                        out += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += picture[i] == u'%' ? Text(u"%%") : Text(1, picture[i]);
                ++i;
            }
            continue;
        }
        std::size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c)
            ++run;
        i += run;
        const bool one = run == 1;
        switch (c) {
        case u'y': out += run >= 3 ? u"%Y" : one ? u"%-y" : u"%y"; break;
        case u'M': out += run >= 4 ? u"%B" : run == 3 ? u"%b" : run == 2 ? u"%m" : u"%-m"; break;
        case u'd': out += run >= 4 ? u"%A" : run == 3 ? u"%a" : run == 2 ? u"%d" : u"%-d"; break;
        case u'H': out += one ? u"%-H" : u"%H"; break;
        case u'h': out += one ? u"%-I" : u"%I"; break;
        case u'm': out += one ? u"%-M" : u"%M"; break;
        case u's': out += one ? u"%-S" : u"%S"; break;
        case u't': out += u"%p"; break;
        case u'g': break;
        case u'%': out.append(2 * run, u'%'); break;
        default: out.append(run, c);
        }
    }
    return out;
}

RegionalSettings RegionalSettings::fromSystem() {
    const RegionalSettings zh = zhCN();
    DateTimeNames names;
    for (int i = 0; i < 12; ++i) {
        const auto at = static_cast<std::size_t>(i);
        names.months[at] =
            orElse(localeItem(LOCALE_SMONTHNAME1 + static_cast<LCTYPE>(i)), names.months[at]);
        names.shortMonths[at] = orElse(
            localeItem(LOCALE_SABBREVMONTHNAME1 + static_cast<LCTYPE>(i)), names.shortMonths[at]);
    }
    // Windows counts the weekdays from Monday, the patterns from Sunday.
    for (int i = 0; i < 7; ++i) {
        const auto at = static_cast<std::size_t>((i + 1) % 7);
        names.weekdays[at] =
            orElse(localeItem(LOCALE_SDAYNAME1 + static_cast<LCTYPE>(i)), names.weekdays[at]);
        names.shortWeekdays[at] = orElse(
            localeItem(LOCALE_SABBREVDAYNAME1 + static_cast<LCTYPE>(i)), names.shortWeekdays[at]);
    }
    // A locale that writes the 24-hour clock may have no am/pm texts at all.
    names.am = localeItem(LOCALE_S1159);
    names.pm = localeItem(LOCALE_S2359);

    const Text decimal = localeItem(LOCALE_SDECIMAL);
    const Text shortDate = localeItem(LOCALE_SSHORTDATE);
    const Text longTime = localeItem(LOCALE_STIMEFORMAT);
    return RegionalSettings(
        decimal.size() == 1 ? decimal[0] : zh.decimalSeparator(),
        shortDate.empty() ? zh.shortDate_ : patternFromWindowsPicture(shortDate),
        longTime.empty() ? zh.longTime_ : patternFromWindowsPicture(longTime), std::move(names));
}

} // namespace pelvoran
