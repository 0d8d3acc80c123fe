// Regional settings from the user's locale (GetLocaleInfoEx).
#include "platform/regional.h"
#include "platform/regional_win.h"

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
        case u'M': out += run == 2 ? u"%m" : u"%-m"; break;
        case u'd':
            if (run <= 2)
                out += one ? u"%-d" : u"%d";
            break;
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
    const Text decimal = localeItem(LOCALE_SDECIMAL);
    const Text shortDate = localeItem(LOCALE_SSHORTDATE);
    const Text longTime = localeItem(LOCALE_STIMEFORMAT);
    return RegionalSettings(
        decimal.size() == 1 ? decimal[0] : zh.decimalSeparator(),
        shortDate.empty() ? zh.shortDate_ : patternFromWindowsPicture(shortDate),
        longTime.empty() ? zh.longTime_ : patternFromWindowsPicture(longTime),
        localeItem(LOCALE_S1159), localeItem(LOCALE_S2359));
}

} // namespace pelvoran
