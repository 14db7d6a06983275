// Number formatting for the messages, which are UTF-16 throughout. Each
// function produces exactly what its printf conversion would.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaly {

// "%u" (and "%llu" for the counts that need 64 bits)
std::u16string FormatDecimal(std::uint64_t value);

// ASCII text (digits, names, times the program makes) as UTF-16.
std::u16string AsciiToUtf16(std::string_view ascii);

// "0x%08X"
std::u16string FormatHex32(std::uint32_t value);

// "%.16I64x": sixteen lower-case hexadecimal digits.
std::u16string FormatHex64Lower(std::uint64_t value);

}  // namespace tessaly
