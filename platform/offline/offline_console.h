#pragma once

#include "common/console.h"

namespace tessaly::offline {

class ProgressLine;

// Writes the messages to standard output as UTF-8, whatever the locale.
class OfflineConsole final : public Console {
 public:
  // progress: the line on the terminal, taken off before each message so
  // that no message lands inside it.
  explicit OfflineConsole(ProgressLine& progress) : progress_(progress) {}

  // The output is UTF-8 in every locale; there is nothing to select.
  void SelectLocale(const char*) override {}
  void Print(std::u16string_view text) override;

 private:
  ProgressLine& progress_;
};

}  // namespace tessaly::offline
