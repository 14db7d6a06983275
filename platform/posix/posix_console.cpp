#include "platform/posix/posix_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "common/utf_conversion.h"
#include "platform/posix/full_io.h"

namespace tessaly::posix {
namespace {

constexpr unsigned kAssumedColumns = 80;

}  // namespace

void PosixStreamConsole::Print(std::u16string_view text) {
  const std::string utf8 = Utf8FromUtf16Lossy(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stream_);
  if (flushEachPrint_) std::fflush(stream_);
}

bool PosixTerminal::IsTerminal(int fd) { return isatty(fd) == 1; }

unsigned PosixTerminal::Columns() {
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kAssumedColumns;
  return size.ws_col;
}

void PosixTerminal::ReplaceLine(std::u16string_view text) {
  // Back to the start of the line, the text, and the rest of the line
  // cleared; in one write, so the terminal never shows the line half drawn.
  const std::string line = text.empty() ? std::string("\r\033[K") : "\r" + Utf8FromUtf16Lossy(text) + "\033[K";
  // The line only informs; a terminal that takes it no more ends nothing.
  static_cast<void>(posix::WriteFully(fd_, reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
}

}  // namespace tessaly::posix
