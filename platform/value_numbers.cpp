#include "platform/value_numbers.h"

namespace pelvoran {

std::optional<double> numericValue(TextView s, const RegionalSettings& regional) {
    if (trimBlanks(s).empty())
        return std::nullopt;
    return regional.parseNumber(s);
}

bool isNumber(const Value& intNum, const RegionalSettings& regional) {
    if (isNull(intNum) || isEmptyValue(intNum))
        return false;
    if (const auto* text = std::get_if<Text>(&intNum))
        return numericValue(*text, regional).has_value();
    return true; // numbers and Booleans are numeric
}

Value Null2Int(Value& str, const RegionalSettings& regional) {
    if (isNull(str))
        str = Text(u"0");
    if (!isNumber(str, regional) ||
        (std::holds_alternative<Text>(str) && std::get<Text>(str).empty()))
        str = Text(u"0");
    if (const auto* text = std::get_if<Text>(&str))
        return *regional.parseNumber(*text);
    if (const auto* b = std::get_if<bool>(&str))
        return static_cast<std::int16_t>(*b ? -1 : 0);
    return str;
}

} // namespace pelvoran
