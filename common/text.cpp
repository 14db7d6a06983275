#include "common/text.h"

namespace tessaly {
namespace {

std::u16string FormatHexDigits(std::uint64_t value, int digits, const char* alphabet) {
  std::u16string text(static_cast<std::size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = static_cast<char16_t>(alphabet[value & 0xF]);
    value >>= 4;
  }
  return text;
}

}  // namespace

std::u16string AsciiToUtf16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string FormatDecimal(std::uint64_t value) {
  std::u16string reversed;
  do {
    reversed.push_back(static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return {reversed.rbegin(), reversed.rend()};
}

std::u16string FormatHex32(std::uint32_t value) {
  return u"0x" + FormatHexDigits(value, 8, "0123456789ABCDEF");
}

std::u16string FormatHex64Lower(std::uint64_t value) {
  return FormatHexDigits(value, 16, "0123456789abcdef");
}

}  // namespace tessaly
