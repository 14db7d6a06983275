#include "platform/offline/offline_console.h"

#include <cstdio>
#include <string>

#include "common/utf_conversion.h"
#include "platform/offline/progress_line.h"

namespace tessaly::offline {

void OfflineConsole::Print(std::u16string_view text) {
  progress_.Erase();
  const std::string utf8 = Utf8FromUtf16Lossy(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  // Output piped to a program that shows it on the same terminal (tee) must
  // get there while the line is off, not in a later block that lands in it.
  if (progress_.Active()) std::fflush(stdout);
}

}  // namespace tessaly::offline
