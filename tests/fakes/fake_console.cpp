#include "fakes/fake_console.h"

namespace tessaly::fakes {

void FakeConsole::SelectLocale(const char* newLocale) {
  locale = newLocale;
  events_.Add("setlocale " + locale);
}

void FakeConsole::Print(std::u16string_view text) {
  output += text;
  events_.Add("print " + Utf8(text));
}

}  // namespace tessaly::fakes
