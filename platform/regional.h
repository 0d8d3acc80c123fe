#pragma once

#include "platform/text.h"

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

/// The user's regional settings: what the tool needs of them is the decimal
/// separator, number parsing and formatting, and the date-time text.
class RegionalSettings {
public:
    /// Chinese (People's Republic of China): decimal point ".", short date
    /// "2026/12/7", long time "5:02:03".
    static RegionalSettings zhCN();

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

    /// strftime-like patterns: %Y %y %m %d %H %I %M %S %p, and %-m %-d %-H
    /// %-I for numbers without a leading zero; other text is copied.
    RegionalSettings(char16_t decimal, Text shortDate, Text longTime, Text am, Text pm);

private:
    Text format(TextView pattern, const LocalDateTime& t) const;

    char16_t decimal_;
    Text shortDate_;
    Text longTime_;
    Text am_;
    Text pm_;
};

} // namespace pelvoran
