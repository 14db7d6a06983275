// The one line on a terminal that tells a slow disk from a hang: components
// checked of the total, files seen, time since the start. It goes to
// standard error only when that is a terminal, so standard output and any
// redirected stream stay exactly as they are without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "records/file_system.h"

namespace tessaly::offline {

// Standard error when it is a terminal: where the line is drawn.
class Terminal {
 public:
  virtual ~Terminal() = default;
  virtual unsigned Columns() = 0;
  // Replaces the line the cursor is on by text; empty text clears it.
  virtual void ReplaceLine(std::u16string_view text) = 0;
};

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // A line that is never shown.
  ProgressLine() = default;
  // Shown on terminal, if any; now tells the time.
  ProgressLine(Terminal* terminal, std::function<Clock::time_point()> now);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  // Component `walked` (counted from 1) of `total` is being checked.
  void ShowComponent(std::uint32_t walked, std::uint32_t total);
  // Counts a listed entry that is a file.
  void SeeEntry(const DirectoryEntry& entry);
  // Takes the line off the screen, before a message and at the end of the run.
  void Erase();
  // Whether the line goes to a terminal at all.
  bool Active() const { return terminal_ != nullptr; }

 private:
  void DrawWhenDue();

  Terminal* terminal_ = nullptr;
  std::function<Clock::time_point()> now_;
  Clock::time_point start_;
  std::optional<Clock::time_point> lastDrawn_;
  bool shown_ = false;
  std::uint32_t walked_ = 0;
  std::uint32_t total_ = 0;
  std::uint64_t files_ = 0;
};

}  // namespace tessaly::offline
