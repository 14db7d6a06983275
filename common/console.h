// Console seam: the standard library's locale and wide formatted output.
#pragma once

#include <string_view>

namespace tessaly {

class Console {
 public:
  virtual ~Console() = default;
  // setlocale(LC_ALL, locale)
  virtual void SelectLocale(const char* locale) = 0;
  // wprintf of already formatted text.
  virtual void Print(std::u16string_view text) = 0;
};

}  // namespace tessaly
