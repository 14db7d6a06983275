// Number formatting for the messages, which are UTF-16 throughout. Each
// function produces exactly what its printf conversion would.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly {

// "%u"
std::u16string FormatDecimal(std::uint32_t value);

// "0x%08X"
std::u16string FormatHex32(std::uint32_t value);

// "%.16I64x": sixteen lower-case hexadecimal digits.
std::u16string FormatHex64Lower(std::uint64_t value);

}  // namespace tessaly
