// The console on Linux: messages as UTF-8 on a standard stream, and the
// progress line on the terminal standard error is.
#pragma once

#include <cstdio>
#include <string_view>

#include "common/console.h"
#include "platform/offline/progress_line.h"

namespace tessaly::posix {

// Writes the messages to a stream (stdout or stderr) as UTF-8, whatever the
// locale.
class PosixStreamConsole final : public Console {
 public:
  explicit PosixStreamConsole(std::FILE* stream) : stream_(stream) {}

  // The output is UTF-8 in every locale; there is nothing to select.
  void SelectLocale(const char*) override {}
  void Print(std::u16string_view text) override;

  // Whether each message is flushed as it is printed. Needed while a
  // progress line is on the terminal: output piped to a program that shows
  // it on the same terminal (tee) must get there while the line is off, not
  // in a later block that lands inside the line.
  void FlushEachPrint(bool flush) { flushEachPrint_ = flush; }

 private:
  std::FILE* stream_;
  bool flushEachPrint_ = false;
};

// A terminal open at fd (standard error), for the progress line.
class PosixTerminal final : public offline::Terminal {
 public:
  explicit PosixTerminal(int fd) : fd_(fd) {}

  // Whether fd is a terminal at all; the line is shown only on one.
  static bool IsTerminal(int fd);

  // Its width now (it may be resized during the run); 80 when unknown.
  unsigned Columns() override;
  void ReplaceLine(std::u16string_view text) override;

 private:
  int fd_;
};

}  // namespace tessaly::posix
