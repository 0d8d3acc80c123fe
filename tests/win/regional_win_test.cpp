// Windows date and time pictures, and the settings read from the locale.
#include "platform/regional.h"
#include "platform/regional_win.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace pelvoran;

TEST(RegionalWin, PicturesBecomePatterns) {
    struct Case {
        Text picture;
        Text pattern;
    };
    const Case cases[] = {
        {u"yyyy/M/d", u"%Y/%-m/%-d"},
        {u"yyyy-MM-dd", u"%Y-%m-%d"},
        {u"dd.MM.yy", u"%d.%m.%y"},
        {u"d/M/y", u"%-d/%-m/%-y"},
        {u"H:mm:ss", u"%-H:%M:%S"},
        {u"HH:mm:ss", u"%H:%M:%S"},
        {u"h:mm:ss tt", u"%-I:%M:%S %p"},
        {u"tt hh:m:s", u"%p %I:%-M:%-S"},
        {u"yyyy'年'M'月'd'日'", u"%Y年%-m月%-d日"},
        {u"'It''s' H", u"It's %-H"},
        {u"'100%' d", u"100%% %-d"},
        {u"dddd, MMMM d, yyyy", u"%A, %B %-d, %Y"},
        {u"ddd dd-MMM-yy", u"%a %d-%b-%y"},
        {u"gg yyyy", u" %Y"},
        {u"'unclosed", u"unclosed"},
        {u"", u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(patternFromWindowsPicture(c.picture), c.pattern);
}

namespace {

Text systemDateTime(const LocalDateTime& t) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    wchar_t date[128];
    wchar_t time[128];
    const int d =
        GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 128, nullptr);
    const int h = GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, time, 128);
    Text out(date, date + (d > 0 ? d - 1 : 0));
    if (t.hour != 0 || t.minute != 0 || t.second != 0)
        out += u' ' + Text(time, time + (h > 0 ? h - 1 : 0));
    return out;
}

} // namespace

TEST(RegionalWin, DateTimeTextMatchesTheSystemsOwn) {
    // Whatever the locale's pictures are, the tool writes what Windows writes.
    const auto regional = RegionalSettings::fromSystem();
    const LocalDateTime times[] = {
        {2026, 12, 7, 5, 2, 3}, {2026, 1, 5, 0, 0, 1},    {2026, 1, 5, 23, 59, 0},
        {2026, 12, 7, 0, 0, 0}, {2009, 10, 31, 12, 0, 0}, {2030, 2, 28, 13, 4, 5},
    };
    for (const auto& t : times)
        EXPECT_EQ(regional.formatDateTime(t), systemDateTime(t)) << t.hour << ":" << t.minute;
}

TEST(RegionalWin, NamesComeFromTheLocale) {
    // A long date names the weekday and the month in the locale's language.
    wchar_t picture[128];
    ASSERT_GT(GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SLONGDATE, picture, 128), 1);
    const auto regional = RegionalSettings::fromSystem();
    const LocalDateTime t{2026, 12, 7, 5, 2, 3}; // a Monday
    SYSTEMTIME st{2026, 12, 1, 7, 5, 2, 3, 0};
    wchar_t expected[256];
    const std::wstring full = std::wstring(picture) + L" dddd MMMM";
    ASSERT_GT(
        GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, full.c_str(), expected, 256, nullptr), 1);
    EXPECT_EQ(regional.formatPattern(
                  patternFromWindowsPicture(reinterpret_cast<const char16_t*>(full.c_str())), t),
              Text(reinterpret_cast<const char16_t*>(expected)));
}

TEST(RegionalWin, DecimalSeparatorIsTheLocales) {
    wchar_t sep[8];
    ASSERT_GT(GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8), 1);
    const auto regional = RegionalSettings::fromSystem();
    EXPECT_EQ(regional.decimalSeparator(), static_cast<char16_t>(sep[0]));
    EXPECT_EQ(regional.formatNumber(1.05), Text(u"1") + regional.decimalSeparator() + u"05");
    EXPECT_EQ(regional.parseNumber(Text(u"1") + regional.decimalSeparator() + u"06"), 1.06);
}
