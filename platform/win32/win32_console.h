#pragma once

#include "common/console.h"

namespace tessaly::win32 {

// setlocale and wprintf of the C runtime: after the ".936" locale is chosen,
// wide text reaches standard output in code page 936.
class Win32Console final : public Console {
 public:
  void SelectLocale(const char* locale) override;
  void Print(std::u16string_view text) override;
};

}  // namespace tessaly::win32
