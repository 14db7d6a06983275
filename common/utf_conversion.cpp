#include "common/utf_conversion.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace tessaly {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Copies the run of ASCII starting at text[*index] to the end of out and
// moves the index past it. Names are nearly all ASCII, so most of a
// conversion is this copy.
template <typename From, typename To>
void AppendAsciiRun(std::basic_string_view<From> text, std::size_t* index, std::basic_string<To>* out) {
  const auto isAscii = [](From unit) { return static_cast<std::make_unsigned_t<From>>(unit) < 0x80; };
  const auto begin = text.begin() + static_cast<std::ptrdiff_t>(*index);
  const auto end = std::find_if_not(begin, text.end(), isAscii);
  const std::size_t start = out->size();
  out->resize(start + static_cast<std::size_t>(end - begin));
  std::transform(begin, end, out->begin() + static_cast<std::ptrdiff_t>(start),
                 [](From unit) { return static_cast<To>(unit); });
  *index = static_cast<std::size_t>(end - text.begin());
}

void AppendUtf8(char32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// Decodes the code point at text[*index] and advances the index; nullopt
// for an unpaired surrogate.
std::optional<char32_t> NextCodePoint(std::u16string_view text, std::size_t* index) {
  const char16_t unit = text[(*index)++];
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit > 0xDBFF || *index == text.size()) return std::nullopt;
  const char16_t low = text[*index];
  if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
  ++*index;
  return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
}

}  // namespace

std::optional<std::u16string> Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  if (!Utf16FromUtf8(text, &out)) return std::nullopt;
  return out;
}

bool Utf16FromUtf8(std::string_view text, std::u16string* out) {
  out->clear();
  out->reserve(text.size());
  for (std::size_t i = 0;;) {
    AppendAsciiRun(text, &i, out);
    if (i == text.size()) break;
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if (!IsContinuation(byte)) return false;
      codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    if (codePoint < 0x10000) {
      out->push_back(static_cast<char16_t>(codePoint));
    } else {
      codePoint -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
    i += length;
  }
  return true;
}

std::optional<std::string> Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  if (!Utf8FromUtf16(text, &out)) return std::nullopt;
  return out;
}

bool Utf8FromUtf16(std::u16string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (std::size_t i = 0;;) {
    AppendAsciiRun(text, &i, out);
    if (i == text.size()) break;
    const std::optional<char32_t> codePoint = NextCodePoint(text, &i);
    if (!codePoint) return false;
    AppendUtf8(*codePoint, out);
  }
  return true;
}

std::string Utf8FromUtf16Lossy(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const std::optional<char32_t> codePoint = NextCodePoint(text, &i);
    // A lone surrogate is replaced by itself alone; the unit after it is decoded afresh.
    if (!codePoint) i = start + 1;
    AppendUtf8(codePoint.value_or(kReplacementCharacter), &out);
  }
  return out;
}

}  // namespace tessaly
