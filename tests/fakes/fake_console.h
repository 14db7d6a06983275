#pragma once

#include <string>
#include <string_view>

#include "common/console.h"
#include "fakes/event_log.h"

namespace tessaly::fakes {

// Captures everything printed, as the UTF-16 text the run produced.
class FakeConsole final : public Console {
 public:
  explicit FakeConsole(EventLog& events) : events_(events) {}

  void SelectLocale(const char* locale) override;
  void Print(std::u16string_view text) override;

  std::string locale;  // the last locale selected; empty when none was
  std::u16string output;

 private:
  EventLog& events_;
};

}  // namespace tessaly::fakes
