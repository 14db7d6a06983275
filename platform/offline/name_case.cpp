#include "platform/offline/name_case.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace tessaly::offline {
namespace {

// The C.UTF-8 locale knows the Unicode case mappings; the plain C locale
// only those of ASCII, which is what remains if it is missing.
locale_t UnicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char16_t UpcasedBeyondAscii(char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  const locale_t locale = UnicodeLocale();
  if (locale == static_cast<locale_t>(nullptr)) return unit;
  const wint_t upper = towupper_l(unit, locale);
  // A mapping that leaves the 16-bit range has no place in a UTF-16 unit.
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

// Names are nearly all ASCII, which needs no locale.
char16_t Upcased(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  return UpcasedBeyondAscii(unit);
}

// Four code units in the word's 16-bit lanes, all below 0x80, upper-cased
// together: a lane from 'a' to 'z' loses 0x20.
std::uint64_t UpcasedAsciiWord(std::uint64_t word) {
  constexpr std::uint64_t kLanes = 0x0001000100010001;
  const std::uint64_t fromA = word + kLanes * (0x80 - u'a');      // bit 7 set where lane >= 'a'
  const std::uint64_t beyondZ = word + kLanes * (0x80 - u'z' - 1);  // bit 7 set where lane > 'z'
  const std::uint64_t lower = fromA & ~beyondZ & (kLanes * 0x80);
  return word - (lower >> 2);
}

// The next four code units of name from position, upper-cased, as they lie
// in memory, taken as one word.
std::uint64_t UpcasedWordAt(std::u16string_view name, std::size_t position) {
  std::array<char16_t, 4> units{};
  std::memcpy(units.data(), name.data() + position, sizeof(units));
  std::uint64_t word = 0;
  std::memcpy(&word, units.data(), sizeof(word));
  constexpr std::uint64_t kBeyondAscii = 0xFF80FF80FF80FF80;
  if ((word & kBeyondAscii) == 0) return UpcasedAsciiWord(word);
  for (char16_t& unit : units) unit = Upcased(unit);
  std::memcpy(&word, units.data(), sizeof(word));
  return word;
}

}  // namespace

std::u16string UpcasedName(std::u16string_view name) {
  std::u16string upcased(name);
  for (char16_t& unit : upcased) unit = Upcased(unit);
  return upcased;
}

bool SameName(std::u16string_view left, std::u16string_view right) {
  if (left.size() != right.size()) return false;
  if (left.empty()) return true;
  // Nearly always, a name is looked up as it is spelled.
  if (std::memcmp(left.data(), right.data(), left.size() * sizeof(char16_t)) == 0) return true;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i] != right[i] && Upcased(left[i]) != Upcased(right[i])) return false;
  }
  return true;
}

bool ListsBefore(std::u16string_view left, std::u16string_view right) {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t upcasedLeft = Upcased(left[i]);
    const char16_t upcasedRight = Upcased(right[i]);
    if (upcasedLeft != upcasedRight) return upcasedLeft < upcasedRight;
  }
  if (left.size() != right.size()) return left.size() < right.size();
  return left < right;
}

std::size_t NameHash::operator()(std::u16string_view name) const {
  // Four upper-cased units to a word, each word mixed in with one
  // multiplication: names are hashed by the hundred thousand.
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
  const auto mix = [](std::uint64_t hash, std::uint64_t word) {
    hash = (hash ^ word) * kMultiplier;
    return hash ^ (hash >> 32);
  };
  std::uint64_t hash = name.size();
  std::size_t position = 0;
  for (; position + 4 <= name.size(); position += 4) hash = mix(hash, UpcasedWordAt(name, position));
  std::uint64_t rest = 0;
  for (std::size_t i = 0; position + i < name.size(); ++i) {
    rest |= std::uint64_t{Upcased(name[position + i])} << (16 * i);
  }
  return static_cast<std::size_t>(mix(hash, rest));
}

}  // namespace tessaly::offline
