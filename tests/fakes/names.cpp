#include "fakes/names.h"

#include <algorithm>

namespace tessaly::fakes {

std::u16string FoldCase(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
  }
  return folded;
}

bool EqualIgnoringCase(std::u16string_view left, std::u16string_view right) {
  return left.size() == right.size() && FoldCase(left) == FoldCase(right);
}

}  // namespace tessaly::fakes
