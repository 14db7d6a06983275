#include "platform/win32/win32_console.h"

#include <clocale>
#include <cwchar>
#include <string>

#include "platform/win32/wide_text.h"

namespace tessaly::win32 {

void Win32Console::SelectLocale(const char* locale) { std::setlocale(LC_ALL, locale); }

void Win32Console::Print(std::u16string_view text) {
  // "%ls": with the conforming stdio a plain "%s" would expect narrow text.
  const std::u16string terminated(text);
  std::wprintf(L"%ls", AsWide(terminated.c_str()));
}

}  // namespace tessaly::win32
