// The regional settings of the POSIX layer against the C library itself:
// strftime in the C locale, and the short date and long time that langinfo
// gives under each generated locale.
#include "platform/regional.h"
#include "platform/text.h"
#include "tests/support/scoped_locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string>

using namespace pelvoran;

namespace {

std::tm toTm(const LocalDateTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    timegm(&tm); // fills in the weekday and the day of the year
    return tm;
}

std::string strftimeIn(locale_t loc, const char* pattern, const LocalDateTime& t) {
    const std::tm tm = toTm(t);
    char buf[512];
    const std::size_t n = strftime_l(buf, sizeof buf, pattern, &tm, loc);
    return std::string(buf, n);
}

const LocalDateTime kDates[] = {
    {2026, 12, 7, 5, 2, 3},     {2026, 12, 7, 17, 2, 3}, {2027, 1, 1, 0, 0, 0},
    {2024, 12, 30, 23, 59, 59}, {2000, 2, 29, 12, 0, 0}, {1999, 1, 3, 13, 45, 7},
    {2021, 1, 3, 0, 0, 1},      {1970, 1, 1, 0, 0, 0},   {2038, 1, 19, 3, 14, 8},
    {2010, 12, 31, 11, 59, 59}, {2016, 1, 1, 12, 30, 0}, {1000, 6, 15, 9, 5, 0},
};

} // namespace

// The C library is the reference: in the C locale and UTC, every directive,
// with flags, widths and modifiers, renders as strftime renders it.
TEST(RegionalPosix, EveryDirectiveRendersAsTheCLibraryDoes) {
    const char* saved = std::getenv("TZ");
    const std::string keep = saved ? saved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    DateTimeNames names;
    names.zoneName = u"GMT"; // what timegm sets
    const RegionalSettings c(u'.', u"%m/%d/%y", u"%H:%M:%S", names);
    locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    ASSERT_NE(cLocale, static_cast<locale_t>(nullptr));
    const char* patterns[] = {
        "%a %A %b %B %h %c %C %d %D %e %F %g %G %H %I %j %k %l %m %M %n %p %P %r %R %s",
        "%S %t %T %u %U %V %w %W %x %X %y %Y %z %Z %%",
        "%-d %_d %0e %-e %_m %-H %-I %-M %-S %-j %_j %-y %_y %-V %_U",
        "%^a %^A %^b %^B %#a %#b %#p %^P %#Z %^p %^c %^r",
        "%10B %010a %-5d %_5d %05e %3H %^10b %6Y %06C %12D %_10T %-10x",
        "%Ey %EY %EC %Ex %EX %Ec %Od %Oe %OH %OI %Om %OM %OS %Ou %OU %OV %Ow %OW %Oy",
        "%Y-%m-%dT%H:%M:%S%z",
    };
    for (const auto& t : kDates) {
        for (const char* p : patterns) {
            EXPECT_EQ(toUtf8(c.formatPattern(u16(p), t)), strftimeIn(cLocale, p, t))
                << p << " on " << t.year << "-" << t.month << "-" << t.day;
        }
    }
    freelocale(cLocale);
    if (saved)
        setenv("TZ", keep.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Under each locale, generated for the tests, the date-time text is the
// locale's own short date and long time as the C library renders them
// (Chinese keeps the zh-CN forms), with no directive left in it, and numbers
// use the locale's decimal separator.
TEST(RegionalPosix, FromSystemUnderEachLocale) {
    struct Case {
        std::string locale;
        Text morning;   // 2026-12-07 05:02:03
        Text afternoon; // 2026-12-07 17:02:03
        Text number;    // 1.06
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", u"2026/12/7 5:02:03", u"2026/12/7 17:02:03", u"1.06"},
        {"en_US.UTF-8", u"12/07/2026 05:02:03 AM", u"12/07/2026 05:02:03 PM", u"1.06"},
        {"de_DE.UTF-8", u"07.12.2026 05:02:03", u"07.12.2026 17:02:03", u"1,06"},
        {"ja_JP.UTF-8", u"2026年12月07日 05時02分03秒", u"2026年12月07日 17時02分03秒", u"1.06"},
    };
    for (const auto& c : cases) {
        test::ScopedLocale scoped(c.locale);
        locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
        ASSERT_NE(loc, static_cast<locale_t>(nullptr)) << c.locale << " was not generated";
        const auto rs = RegionalSettings::fromSystem();
        EXPECT_EQ(rs.formatDateTime({2026, 12, 7, 5, 2, 3}), c.morning) << c.locale;
        EXPECT_EQ(rs.formatDateTime({2026, 12, 7, 17, 2, 3}), c.afternoon) << c.locale;
        EXPECT_EQ(rs.formatNumber(1.06), c.number) << c.locale;
        EXPECT_EQ(rs.parseNumber(c.number), 1.06) << c.locale;
        const bool chinese = c.locale.starts_with("zh");
        for (const auto& t : kDates) {
            const Text text = rs.formatDateTime(t);
            EXPECT_EQ(text.find(u'%'), Text::npos) << c.locale << ": " << toUtf8(text);
            if (chinese || (t.hour == 0 && t.minute == 0 && t.second == 0))
                continue;
            const std::string expected = strftimeIn(loc, nl_langinfo_l(D_FMT, loc), t) + " " +
                                         strftimeIn(loc, nl_langinfo_l(T_FMT, loc), t);
            EXPECT_EQ(toUtf8(text), expected) << c.locale;
        }
        freelocale(loc);
    }
}

TEST(RegionalPosix, PlainCLocaleGetsChineseDateForms) {
    test::ScopedLocale scoped("C");
    const auto rs = RegionalSettings::fromSystem();
    EXPECT_EQ(rs.formatNumber(1.5), u"1.5");
    EXPECT_EQ(rs.formatDateTime({2026, 12, 7, 5, 2, 3}), u"2026/12/7 5:02:03");
}
