#include "platform/offline/progress_line.h"

#include "common/text.h"

#include <string>
#include <string_view>
#include <utility>

namespace tessaly::offline {
namespace {

// A terminal takes a tenth of a second's redraws at most.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// m:ss, or h:mm:ss from an hour on.
std::string FormatElapsed(ProgressLine::Clock::duration elapsed) {
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  const auto twoDigits = [](long long value) { return (value < 10 ? "0" : "") + std::to_string(value); };
  const long long hours = seconds / 3600;
  const std::string minutes = hours == 0 ? std::to_string(seconds / 60) : twoDigits(seconds / 60 % 60);
  return (hours == 0 ? "" : std::to_string(hours) + ":") + minutes + ":" + twoDigits(seconds % 60);
}

// Cuts the text to fewer columns than the terminal has, so that it never
// wraps: a wrapped line could not be erased from its last row. Every
// character beyond ASCII in the line is a wide one.
std::u16string_view FitColumns(std::u16string_view text, unsigned columns) {
  unsigned used = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    used += text[at] < 0x80 ? 1 : 2;
    if (used >= columns) return text.substr(0, at);
  }
  return text;
}

}  // namespace

ProgressLine::ProgressLine(Terminal* terminal, std::function<Clock::time_point()> now)
    : terminal_(terminal), now_(std::move(now)), start_(now_()) {}

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
  terminal_->ReplaceLine({});
  shown_ = false;
}

void ProgressLine::DrawWhenDue() {
  const Clock::time_point now = now_();
  if (lastDrawn_ && now - *lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  const std::u16string text = u"正在检查组件 " + FormatDecimal(walked_) + u"/" + FormatDecimal(total_) +
                              u"，已查看 " + FormatDecimal(files_) + u" 个文件，用时 " +
                              AsciiToUtf16(FormatElapsed(now - start_));
  terminal_->ReplaceLine(FitColumns(text, terminal_->Columns()));
  shown_ = true;
}

}  // namespace tessaly::offline
