#include "tools/image/utf8.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "common/utf_conversion.h"

namespace tessaly::image {

std::u16string Utf16FromUtf8(std::string_view text) {
  std::optional<std::u16string> converted = ::tessaly::Utf16FromUtf8(text);
  if (!converted) throw std::invalid_argument("malformed UTF-8");
  return std::move(*converted);
}

std::string Utf8FromUtf16(std::u16string_view text) {
  std::optional<std::string> converted = ::tessaly::Utf8FromUtf16(text);
  if (!converted) throw std::invalid_argument("unpaired UTF-16 surrogate");
  return std::move(*converted);
}

}  // namespace tessaly::image
