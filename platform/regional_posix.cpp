// Regional settings from the POSIX locale environment.
#include "platform/regional.h"

#include <clocale>
#include <cstdlib>
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

Text fromLocaleText(const char* s, const Text& fallback) {
    if (s == nullptr)
        return fallback;
    auto t = fromUtf8(s);
    return t && !t->empty() ? *t : fallback;
}

} // namespace

RegionalSettings RegionalSettings::fromSystem() {
    const RegionalSettings zh = zhCN();
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr))
        return zh;

    char16_t decimal = u'.';
    const auto radix = fromUtf8(nl_langinfo_l(RADIXCHAR, loc));
    if (radix && radix->size() == 1)
        decimal = (*radix)[0];

    RegionalSettings result = zh;
    result.decimal_ = decimal;
    if (!usesChineseForms(localeName("LC_TIME"))) {
        result.shortDate_ = fromLocaleText(nl_langinfo_l(D_FMT, loc), zh.shortDate_);
        result.longTime_ = fromLocaleText(nl_langinfo_l(T_FMT, loc), zh.longTime_);
        result.am_ = fromLocaleText(nl_langinfo_l(AM_STR, loc), zh.am_);
        result.pm_ = fromLocaleText(nl_langinfo_l(PM_STR, loc), zh.pm_);
    }
    freelocale(loc);
    return result;
}

} // namespace pelvoran
