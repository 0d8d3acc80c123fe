#pragma once

#include "platform/text.h"

#include <array>
#include <optional>

namespace pelvoran {

/// A local calendar date and wall-clock time, as the clock reports it.
struct LocalDateTime {
    int year = 2000;
    int month = 1; // 1..12
    int day = 1;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

/// The names and forms that the date-time directives beyond plain numbers
/// render. The defaults are those of the C locale.
struct DateTimeNames {
    /// January first.
    std::array<Text, 12> months = {u"January",   u"February", u"March",    u"April",
                                   u"May",       u"June",     u"July",     u"August",
                                   u"September", u"October",  u"November", u"December"};
    std::array<Text, 12> shortMonths = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                        u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
    /// Sunday first.
    std::array<Text, 7> weekdays = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                    u"Thursday", u"Friday", u"Saturday"};
    std::array<Text, 7> shortWeekdays = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
    Text am = u"AM";
    Text pm = u"PM";
    /// The 12-hour time that %r stands for.
    Text time12 = u"%I:%M:%S %p";
    /// The date and time that %c stands for.
    Text dateTime = u"%a %b %e %H:%M:%S %Y";
    /// The local time zone, for %Z, %z and %s.
    Text zoneName;
    int utcOffsetSeconds = 0;
};

/// The user's regional settings: number parsing and formatting, and the
/// date-time text.
///
/// Date and time patterns use the directives of POSIX strftime:
///   %Y year, %C century, %y year of the century, %G %g ISO week-based year,
///   %m month, %d day, %e day padded with a blank, %j day of the year,
///   %H hour 0-23, %I hour 1-12, %k %l the same padded with a blank,
///   %M minute, %S second, %p the am/pm text, %P the same in lower case,
///   %a %A weekday names, %b %h %B month names, %u weekday 1-7 from Monday,
///   %w weekday 0-6 from Sunday, %U %W %V week numbers,
///   %D = %m/%d/%y, %F = %Y-%m-%d, %T = %H:%M:%S, %R = %H:%M,
///   %r the 12-hour time, %x the short date pattern, %X the long time
///   pattern, %c the date-time pattern,
///   %z offset from UTC (+hhmm), %Z zone name, %s seconds since 1970 (UTC),
///   %n line feed, %t tab, %% a percent sign.
/// Between "%" and the letter: the flags "-" (no padding), "_" (pad with
/// blanks), "0" (pad with zeros), "^" (upper case), "#" (swap case as glibc
/// does), then a field width, then the modifier E or O, which is accepted and
/// renders the plain form. An unknown directive renders as nothing, so a
/// rendered text never holds a directive. Every other character is copied.
class RegionalSettings {
public:
    /// Chinese (People's Republic of China): decimal point ".", short date
    /// "2026/12/7", long time "5:02:03".
    static RegionalSettings zhCN();

    /// Numbers as data rather than for people: "." as the decimal separator,
    /// whatever the user's locale. Dates "12/07/2026", times "05:02:03",
    /// names those of the C locale.
    static RegionalSettings invariant();

    /// Taken from the process's locale environment (LC_ALL, LC_NUMERIC,
    /// LC_TIME, LANG). Chinese and the plain C locale get the zh-CN date and
    /// time forms; other locales their own.
    static RegionalSettings fromSystem();

    char16_t decimalSeparator() const { return decimal_; }

    /// Reads a numeric text: optional blanks around it, an optional sign,
    /// decimal digits with at most one decimal separator, an optional
    /// exponent. Anything else, or a value beyond the range of a double,
    /// gives nullopt.
    std::optional<double> parseNumber(TextView s) const;

    /// The default conversion of a number to text: at most 15 significant
    /// digits, no trailing zeros, no leading blank ("1.05", "1.1", "2").
    Text formatNumber(double value) const;

    /// The default conversion of a date-time to text: the short date, one
    /// blank, the long time; a time of exactly midnight gives the date alone.
    Text formatDateTime(const LocalDateTime& t) const;

    /// One pattern (see above) rendered for a date-time.
    Text formatPattern(TextView pattern, const LocalDateTime& t) const;

    /// `shortDate` and `longTime` are patterns in the language above; `am`
    /// and `pm` replace those of the C locale's names.
    RegionalSettings(char16_t decimal, Text shortDate, Text longTime, Text am, Text pm);
    RegionalSettings(char16_t decimal, Text shortDate, Text longTime, DateTimeNames names);

private:
    void render(Text& out, TextView pattern, const LocalDateTime& t, int depth) const;

    char16_t decimal_;
    Text shortDate_;
    Text longTime_;
    DateTimeNames names_;
};

} // namespace pelvoran
