#include "platform/offline/offline_console.h"

#include <cstdio>
#include <string>

#include "common/utf_conversion.h"

namespace tessaly::offline {

void OfflineConsole::Print(std::u16string_view text) {
  const std::string utf8 = Utf8FromUtf16Lossy(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

}  // namespace tessaly::offline
