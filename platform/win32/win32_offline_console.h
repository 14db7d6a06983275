// Standard output and standard error of tessaly-offline.exe. A console
// window gets UTF-16, which it shows whatever its code page (437 in Windows
// PE); a file or pipe gets UTF-8, as the Linux tool writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/console.h"
#include "platform/offline/progress_line.h"

namespace tessaly::win32 {

enum class StandardStream { Output, Error };

class Win32StreamConsole final : public Console {
 public:
  explicit Win32StreamConsole(StandardStream stream);

  // Whether the stream is a console window (else a file, a pipe or nothing).
  bool IsConsole() const { return console_; }

  void SelectLocale(const char* locale) override;
  void Print(std::u16string_view text) override;

 private:
  void* handle_;
  bool console_ = false;
};

// The progress line on a stream that is a console window.
class Win32ConsoleTerminal final : public offline::Terminal {
 public:
  explicit Win32ConsoleTerminal(StandardStream stream);

  unsigned Columns() override;
  void ReplaceLine(std::u16string_view text) override;

 private:
  void* handle_;
  // Columns the last line took, for a console whose cells cannot be reached.
  std::size_t drawn_ = 0;
};

}  // namespace tessaly::win32
