#include "servicing/native_path_hash.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tessaly {
namespace {

struct LowerCaseRange {
  char16_t first;
  char16_t last;
  // Difference to the lower-case unit; 1 with an odd stride means every
  // second unit (the alternating upper/lower pairs of many scripts).
  std::int32_t delta;
  bool alternating;
};

#include "servicing/lower_case_ranges.inc"

}  // namespace

char16_t TESSALY_FASTCALL NativeDowncaseCharacter(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return static_cast<char16_t>(unit + 0x20);
  if (unit < 0x80) return unit;
  const auto* range = std::upper_bound(std::begin(kLowerCaseRanges), std::end(kLowerCaseRanges), unit,
                                       [](char16_t value, const LowerCaseRange& r) { return value < r.first; });
  if (range == std::begin(kLowerCaseRanges)) return unit;
  --range;
  if (unit > range->last) return unit;
  if (range->alternating && (unit - range->first) % 2 != 0) return unit;
  return static_cast<char16_t>(unit + range->delta);
}

std::int32_t TESSALY_FASTCALL NativeHashLUnicodeString(const CountedString* text, DowncaseRoutine downcase,
                                                       std::uint64_t* hash) {
  std::array<std::uint32_t, 4> accumulators{};
  const std::uint32_t units = text->length / sizeof(char16_t);
  for (std::uint32_t i = 0; i < units; ++i) {
    char16_t unit = text->buffer[i];
    if (unit >= u'A' && unit <= u'Z') {
      unit = static_cast<char16_t>(unit + 0x20);
    } else {
      unit = downcase != nullptr ? downcase(unit) : NativeDowncaseCharacter(unit);
    }
    std::uint32_t& accumulator = accumulators[i % 4];
    accumulator = accumulator * 0x1003Fu + unit;
  }
  *hash = accumulators[0] * 0x1E5FFFFFD27ull + accumulators[1] * 0xFFFFFFDC00000051ull +
          accumulators[2] * 0x1FFFFFFF7ull + accumulators[3];
  return 0;
}

}  // namespace tessaly
