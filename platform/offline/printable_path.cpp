#include "platform/offline/printable_path.h"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/utf_conversion.h"

namespace tessaly::offline {
namespace {

// The length of the UTF-8 sequence a lead byte starts; 0 for a byte that
// cannot start one.
std::size_t SequenceLength(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool IsControl(char16_t character) {
  return character < 0x20 || (character >= 0x7F && character <= 0x9F);
}

void AppendEscapedBytes(std::string_view bytes, std::u16string* text) {
  constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  for (const char byte : bytes) {
    const auto value = static_cast<std::uint8_t>(byte);
    *text += u"\\x";
    *text += kDigits[value >> 4];
    *text += kDigits[value & 0xF];
  }
}

}  // namespace

std::u16string PrintablePath(std::string_view path) {
  std::u16string text;
  while (!path.empty()) {
    const std::size_t length = SequenceLength(static_cast<std::uint8_t>(path.front()));
    const std::string_view sequence = path.substr(0, length == 0 ? 1 : length);
    // Strict decoding turns down overlong forms, surrogates and truncated sequences.
    const std::optional<std::u16string> decoded =
        length == 0 || sequence.size() < length ? std::nullopt : Utf16FromUtf8(sequence);
    if (!decoded) {
      AppendEscapedBytes(path.substr(0, 1), &text);
      path.remove_prefix(1);
      continue;
    }
    if (*decoded == u"\\") {
      text += u"\\\\";
    } else if (IsControl(decoded->front())) {
      AppendEscapedBytes(sequence, &text);
    } else {
      text += *decoded;
    }
    path.remove_prefix(sequence.size());
  }
  return text;
}

}  // namespace tessaly::offline
