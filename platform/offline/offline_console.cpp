#include "platform/offline/offline_console.h"

#include "platform/offline/progress_line.h"

namespace tessaly::offline {

void OfflineConsole::Print(std::u16string_view text) {
  progress_.Erase();
  output_.Print(text);
}

}  // namespace tessaly::offline
