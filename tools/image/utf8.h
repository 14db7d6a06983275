// UTF-8 <-> UTF-16 conversion for the image tools, which refuse text that
// cannot stand in a hive rather than pass it over.
#pragma once

#include <string>
#include <string_view>

namespace tessaly::image {

// Throws std::invalid_argument for malformed UTF-8 (including encoded
// surrogates, overlong forms and code points above U+10FFFF).
std::u16string Utf16FromUtf8(std::string_view text);

// Throws std::invalid_argument for an unpaired surrogate.
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace tessaly::image
