#include "decode/lens_query.h"

#include "platform/ansi.h"
#include "platform/numeric.h"
#include "platform/value_numbers.h"

#include <optional>
#include <string>

namespace pelvoran {
namespace {

constexpr char16_t kDatePrefix[] = u"出厂日期:";
constexpr char16_t kYear[] = u"年";
constexpr char16_t kMonth[] = u"月";
constexpr char16_t kDateUnknown[] = u"出厂日期未知";
constexpr char16_t kSecondYear[] = u"或2012年";

const char16_t* factoryText(char16_t letter) {
    switch (letter) {
    case u'U': return u"日本宇都宫（Utsunomiya）工厂";
    case u'F': return u"日本福岛（Fukushima）工厂";
    case u'O': return u"日本大分（Oita）工厂";
    case u'T': return u"台湾工厂";
    case u'S': return u"滋贺长浜工厂";
    case u'M': return u"宮崎工厂";
    default: return u"未知生产地";
    }
}

/// The code as the user meant it: a Chinese input method in full-width mode
/// types the full-width forms of ASCII (U+FF01 to U+FF5E) and the ideographic
/// space; they become ASCII and a blank. Every other character stays.
Text narrowFullWidth(TextView typed) {
    Text code(typed);
    for (char16_t& c : code) {
        if (c >= 0xFF01 && c <= 0xFF5E)
            c = static_cast<char16_t>(c - 0xFEE0);
        else if (c == 0x3000)
            c = u' ';
    }
    return code;
}

void appendDecimal(Text& out, int value) {
    for (char c : std::to_string(value))
        out += static_cast<char16_t>(c);
}

} // namespace

Text LensQuery::Command1_Click(TextView prodSNText) {
    const Text typed = narrowFullWidth(prodSNText);
    LensSN = Text(trimBlanks(typed));
    ResultText.clear();
    const std::size_t length = LensSN.size();
    if (length == 5 || length == 6 || length == 8 || length == 10) {
        ResultText = (length == 8 || length == 10) ? GetNewLens(LensSN) : GetOldLens(LensSN);
        if (!ResultText.empty()) {
            ResultText += kLineBreak;
            ResultText += query_text::kNotice;
        } else {
            ResultText = query_text::kApology;
        }
        return ResultText;
    }
    Text hint = query_text::kHintLine1;
    hint += kLineBreak;
    hint += query_text::kHintLine2;
    return hint;
}

Text LensQuery::GetOldLens(const Text& strLensSN) {
    ResultText.clear();
    Text answer = factoryText(upperCase(strLensSN.at(0)));
    answer += u' ';

    const int code = AnsiCode(upperCase(strLensSN.at(1)));
    if (code > 90 || code < 65) {
        answer += kDateUnknown;
    } else {
        int year = code + 1986 - 65;
        if (year < 1990)
            year += 26;
        answer += kDatePrefix;
        appendDecimal(answer, year);
        answer += kYear;

        // The month is the third and fourth characters, or fewer if the code ends.
        Text month = strLensSN.size() > 2 ? strLensSN.substr(2, 2) : Text();
        for (auto& c : month)
            c = upperCase(c);
        const TextView first = TextView(month).substr(0, 1);
        if (first == u"0" || first == u"1") {
            const auto value = numericValue(month, regional_);
            if (value && toInt16(*value) < 13)
                answer += month;
            else
                answer += first;
            answer += kMonth;
        } else if (numericValue(first, regional_)) {
            answer += first;
            answer += kMonth;
        }
    }
    ResultText = answer;
    return ResultText;
}

Text LensQuery::GetNewLens(const Text& strLensSN) {
    ResultText.clear();
    const TextView prefix = TextView(strLensSN).substr(0, 2);
    const auto value = numericValue(prefix, regional_);
    if (!value)
        return ResultText;

    const std::int16_t n = toInt16(*value);
    // Multiply, divide, subtract, each rounded to double; then round half to even.
    const double months = static_cast<double>(n) * 11.7 / 12.0 - 1.0;
    const int k = toInt16(months);

    // January 2005 plus k months, with a floor division for k < 0.
    const int total = 2005 * 12 + k;
    const int year = total / 12 - (total % 12 < 0 ? 1 : 0);
    const int month = total - year * 12 + 1;

    Text answer = kDatePrefix;
    appendDecimal(answer, year);
    answer += kYear;
    appendDecimal(answer, month);
    answer += kMonth;
    if (k < 5)
        answer += kSecondYear;
    ResultText = answer;
    return ResultText;
}

} // namespace pelvoran
