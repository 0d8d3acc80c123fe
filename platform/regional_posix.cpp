// Regional settings from the POSIX locale environment.
#include "platform/regional.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string_view>

namespace pelvoran {
namespace {

/// The name of the locale in force for one category, by POSIX precedence.
std::string_view localeName(const char* category) {
    for (const char* var : {"LC_ALL", category, "LANG"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0')
            return v;
    }
    return "C";
}

bool usesChineseForms(std::string_view name) {
    return name.starts_with("zh") || name == "C" || name.starts_with("C.") || name == "POSIX";
}

/// One locale item as text; `fallback` when the locale has none or it is not
/// valid UTF-8.
Text item(locale_t loc, nl_item what, const Text& fallback) {
    const char* s = nl_langinfo_l(what, loc);
    if (s == nullptr || *s == '\0')
        return fallback;
    auto t = fromUtf8(s);
    return t ? *t : fallback;
}

/// The zone now in force, for %Z, %z and %s.
void setZone(DateTimeNames& names) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr)
        return;
    names.zoneName = tm.tm_zone != nullptr ? fromUtf8Lenient(tm.tm_zone) : Text();
    names.utcOffsetSeconds = static_cast<int>(tm.tm_gmtoff);
}

} // namespace

RegionalSettings RegionalSettings::fromSystem() {
    const RegionalSettings zh = zhCN();
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr))
        return zh;

    RegionalSettings result = zh;
    const auto radix = fromUtf8(nl_langinfo_l(RADIXCHAR, loc));
    if (radix && radix->size() == 1)
        result.decimal_ = (*radix)[0];

    if (!usesChineseForms(localeName("LC_TIME"))) {
        DateTimeNames names;
        for (std::size_t i = 0; i < 12; ++i) {
            const int n = static_cast<int>(i);
            names.months[i] = item(loc, MON_1 + n, names.months[i]);
            names.shortMonths[i] = item(loc, ABMON_1 + n, names.shortMonths[i]);
        }
        for (std::size_t i = 0; i < 7; ++i) {
            const int n = static_cast<int>(i);
            names.weekdays[i] = item(loc, DAY_1 + n, names.weekdays[i]);
            names.shortWeekdays[i] = item(loc, ABDAY_1 + n, names.shortWeekdays[i]);
        }
        // A locale without am/pm texts (de_DE) renders %p as nothing, as the
        // C library does.
        names.am = item(loc, AM_STR, Text());
        names.pm = item(loc, PM_STR, Text());
        names.time12 = item(loc, T_FMT_AMPM, names.time12);
        names.dateTime = item(loc, D_T_FMT, names.dateTime);
        setZone(names);
        result = RegionalSettings(result.decimal_, item(loc, D_FMT, zh.shortDate_),
                                  item(loc, T_FMT, zh.longTime_), std::move(names));
    }
    freelocale(loc);
    return result;
}

} // namespace pelvoran
