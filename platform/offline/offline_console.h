#pragma once

#include "common/console.h"

namespace tessaly::offline {

class ProgressLine;

// Standard output as the offline run prints to it: the progress line on
// the terminal is taken off before each message, so that no message lands
// inside it.
class OfflineConsole final : public Console {
 public:
  OfflineConsole(Console& output, ProgressLine& progress) : output_(output), progress_(progress) {}

  void SelectLocale(const char* locale) override { output_.SelectLocale(locale); }
  void Print(std::u16string_view text) override;

 private:
  Console& output_;
  ProgressLine& progress_;
};

}  // namespace tessaly::offline
