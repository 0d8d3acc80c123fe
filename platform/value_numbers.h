#pragma once

// How a loosely typed value reads as a number: the numeric test and the
// conversion that the lens decoders and the update check's version field share.

#include "platform/regional.h"
#include "platform/text.h"
#include "platform/value.h"

#include <optional>

namespace pelvoran {

/// The value of a numeric text under the regional settings, or nullopt for a
/// blank or non-numeric one.
std::optional<double> numericValue(TextView s, const RegionalSettings& regional);

/// True when the value is non-blank, not null and numeric under the regional
/// settings (a number or Boolean, or a text the number parser reads).
bool isNumber(const Value& intNum, const RegionalSettings& regional);

/// Null, blank and non-numeric values become 0, and the caller's value is
/// overwritten with the text "0"; numeric text gives its value as a double.
Value Null2Int(Value& str, const RegionalSettings& regional);

} // namespace pelvoran
