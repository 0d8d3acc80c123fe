#pragma once

#include "platform/text.h"

#include <cstddef>
#include <cstdint>

namespace pelvoran::fuzz {

/// The fuzzer's bytes as UTF-16 code units, two bytes each, little-endian:
/// every code unit, lone surrogates included, can be reached.
inline Text asUtf16(const std::uint8_t* data, std::size_t size) {
    Text t;
    t.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        t += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    return t;
}

} // namespace pelvoran::fuzz
