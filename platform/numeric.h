#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace pelvoran {

/// Rounds to the nearest integer, a fraction of exactly one half going to the
/// even neighbour (0.5 -> 0, 1.5 -> 2, -2.5 -> -2).
inline double roundHalfEven(double x) {
    const double r = std::round(x); // half away from zero
    if (std::fabs(x - std::trunc(x)) == 0.5)
        return 2.0 * std::round(x / 2.0);
    return r;
}

/// A number to a 16-bit integer, rounding a half to even. Values beyond the
/// range saturate, so no number that the numeric test accepts can fail here;
/// NaN gives 0.
inline std::int16_t toInt16(double x) {
    if (std::isnan(x))
        return 0;
    const double r = roundHalfEven(x);
    if (r <= std::numeric_limits<std::int16_t>::min())
        return std::numeric_limits<std::int16_t>::min();
    if (r >= std::numeric_limits<std::int16_t>::max())
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(r);
}

} // namespace pelvoran
