#include "hive/name_case.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tessaly::hive {
namespace {

struct UpperCaseRange {
  char16_t first;
  char16_t last;
  // Difference to the upper-case unit; alternating: only every second
  // unit from first (the upper/lower pairs of many scripts).
  std::int32_t delta;
  bool alternating;
};

#include "hive/upper_case_ranges.inc"

// Windows' table for all 65,536 units, expanded when compiling, so a unit
// beyond ASCII costs one load.
constexpr std::array<char16_t, 0x10000> ExpandedUpperCase() {
  std::array<char16_t, 0x10000> table{};
  for (std::size_t unit = 0; unit < table.size(); ++unit) table[unit] = static_cast<char16_t>(unit);
  for (const UpperCaseRange& range : kUpperCaseRanges) {
    const unsigned stride = range.alternating ? 2 : 1;
    for (unsigned unit = range.first; unit <= range.last; unit += stride) {
      table[unit] = static_cast<char16_t>(static_cast<std::int32_t>(unit) + range.delta);
    }
  }
  return table;
}

constexpr std::array<char16_t, 0x10000> kUpperCase = ExpandedUpperCase();

// Names are nearly all ASCII, which needs no table.
char16_t Upcased(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  return kUpperCase[unit];
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
  // SipHash-1-3 of the upper-cased name's UTF-16LE bytes: cheap enough for
  // the hundreds of thousands of names a run hashes, and with a key drawn
  // per run, a hive cannot be built whose names all land on one slot.
  std::uint64_t v0 = key.k0 ^ 0x736F6D6570736575;
  std::uint64_t v1 = key.k1 ^ 0x646F72616E646F6D;
  std::uint64_t v2 = key.k0 ^ 0x6C7967656E657261;
  std::uint64_t v3 = key.k1 ^ 0x7465646279746573;
  const auto round = [&] {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  };
  const auto absorb = [&](std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  };
  std::size_t position = 0;
  for (; position + 4 <= name.size(); position += 4) absorb(UpcasedWordAt(name, position));
  std::uint64_t last = std::uint64_t{2 * name.size()} << 56;
  for (std::size_t i = 0; position + i < name.size(); ++i) {
    last |= std::uint64_t{Upcased(name[position + i])} << (16 * i);
  }
  absorb(last);
  v2 ^= 0xFF;
  round();
  round();
  round();
  return static_cast<std::size_t>(v0 ^ v1 ^ v2 ^ v3);
}

}  // namespace tessaly::hive
