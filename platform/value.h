#pragma once

#include "platform/text.h"

#include <cstdint>
#include <variant>

namespace pelvoran {

/// The null value of a loosely typed value (distinct from "nothing yet").
struct Null {
    bool operator==(const Null&) const = default;
};

/// A loosely typed value: nothing yet (std::monostate), null, text, a 16-bit
/// integer, a double or a Boolean.
using Value = std::variant<std::monostate, Null, Text, std::int16_t, double, bool>;

inline bool isNull(const Value& v) {
    return std::holds_alternative<Null>(v);
}
inline bool isEmptyValue(const Value& v) {
    return std::holds_alternative<std::monostate>(v);
}

} // namespace pelvoran
