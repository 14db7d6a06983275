#include "platform/offline/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/full_io.h"

namespace tessaly::offline {
namespace {

// A terminal takes a tenth of a second's redraws at most.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr unsigned kAssumedColumns = 80;
// Back to the start of the line, and clear it from there.
constexpr std::string_view kEraseLine = "\r\033[K";

void WriteIgnoringFailure(int fd, std::string_view text) {
  // The line only informs; a terminal that takes it no more ends nothing.
  static_cast<void>(WriteFully(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

unsigned TerminalColumns(int terminal) {
  winsize size{};
  if (ioctl(terminal, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kAssumedColumns;
  return size.ws_col;
}

// m:ss, or h:mm:ss from an hour on.
std::string FormatElapsed(ProgressLine::Clock::duration elapsed) {
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  const auto twoDigits = [](long long value) { return (value < 10 ? "0" : "") + std::to_string(value); };
  const long long hours = seconds / 3600;
  const std::string minutes = hours == 0 ? std::to_string(seconds / 60) : twoDigits(seconds / 60 % 60);
  return (hours == 0 ? "" : std::to_string(hours) + ":") + minutes + ":" + twoDigits(seconds % 60);
}

// Cuts UTF-8 text to fewer columns than the terminal has, so that it never
// wraps: a wrapped line could not be erased from its last row. Every
// character beyond ASCII in the line is a wide one.
std::string_view FitColumns(std::string_view text, unsigned columns) {
  unsigned used = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if ((byte & 0xC0) == 0x80) continue;
    used += byte < 0x80 ? 1 : 2;
    if (used >= columns) return text.substr(0, at);
  }
  return text;
}

}  // namespace

ProgressLine::ProgressLine(int fd, std::function<Clock::time_point()> now)
    : terminal_(isatty(fd) == 1 ? fd : -1), now_(std::move(now)), start_(now_()) {}

ProgressLine::~ProgressLine() { Erase(); }

void ProgressLine::ShowComponent(std::uint32_t walked, std::uint32_t total) {
  if (!Active()) return;
  walked_ = walked;
  total_ = total;
  DrawWhenDue();
}

void ProgressLine::SeeEntry(const DirectoryEntry& entry) {
  if (!Active() || (entry.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint)) != 0) return;
  ++files_;
  DrawWhenDue();
}

void ProgressLine::Erase() {
  if (!shown_) return;
  WriteIgnoringFailure(terminal_, kEraseLine);
  shown_ = false;
}

void ProgressLine::DrawWhenDue() {
  const Clock::time_point now = now_();
  if (lastDrawn_ && now - *lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  const std::string text = "正在检查组件 " + std::to_string(walked_) + "/" + std::to_string(total_) + "，已查看 " +
                           std::to_string(files_) + " 个文件，用时 " + FormatElapsed(now - start_);
  WriteIgnoringFailure(terminal_, "\r" + std::string(FitColumns(text, TerminalColumns(terminal_))) + "\033[K");
  shown_ = true;
}

}  // namespace tessaly::offline
