#pragma once

#include "common/console.h"

namespace tessaly::offline {

// Writes the messages to standard output as UTF-8, whatever the locale.
class OfflineConsole final : public Console {
 public:
  // The output is UTF-8 in every locale; there is nothing to select.
  void SelectLocale(const char*) override {}
  void Print(std::u16string_view text) override;
};

}  // namespace tessaly::offline
