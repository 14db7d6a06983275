#include "platform/win32/win32_offline_console.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "common/utf_conversion.h"
#include "platform/win32/wide_text.h"

namespace tessaly::win32 {
namespace {

// Units WriteConsoleW is given at once: older consoles refuse a write larger
// than their shared buffer of 64 KiB.
constexpr std::size_t kConsoleChunk = 8192;
constexpr unsigned kDefaultColumns = 80;

HANDLE StandardHandle(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

void WriteToConsole(HANDLE console, std::u16string_view text) {
  while (!text.empty()) {
    std::size_t size = std::min(text.size(), kConsoleChunk);
    // A surrogate pair is written whole.
    if (size < text.size() && size > 1 && IsHighSurrogate(text[size - 1])) --size;
    DWORD written = 0;
    if (!WriteConsoleW(console, AsWide(text.data()), static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return;
    }
    text.remove_prefix(std::min<std::size_t>(written, text.size()));
  }
}

// The cells a character takes: two for the wide ones of East Asian
// scripts (and every character outside the basic plane, to be safe). A
// console that shows them narrower only leaves room at the end.
unsigned CellsOf(char32_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                    (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6) || c > 0xFFFF;
  return wide ? 2 : 1;
}

// The start of text that fits in columns cells, and the cells it takes.
std::u16string_view Fitting(std::u16string_view text, unsigned columns, unsigned* cells) {
  *cells = 0;
  std::size_t index = 0;
  while (index < text.size()) {
    std::size_t units = 1;
    char32_t c = text[index];
    if (IsHighSurrogate(text[index]) && index + 1 < text.size()) {
      units = 2;
      c = 0x10000;
    }
    const unsigned width = CellsOf(c);
    if (*cells + width > columns) break;
    *cells += width;
    index += units;
  }
  return text.substr(0, index);
}

unsigned WindowColumns(const CONSOLE_SCREEN_BUFFER_INFO& information) {
  const int columns = information.srWindow.Right - information.srWindow.Left + 1;
  return columns > 0 ? static_cast<unsigned>(columns) : kDefaultColumns;
}

}  // namespace

Win32StreamConsole::Win32StreamConsole(StandardStream stream)
    : handle_(StandardHandle(stream)), console_(IsConsoleHandle(handle_)) {}

// Nothing to choose: text reaches the console as UTF-16 and everything else
// as UTF-8, never through the C runtime's locale.
void Win32StreamConsole::SelectLocale(const char*) {}

void Win32StreamConsole::Print(std::u16string_view text) {
  if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE || text.empty()) return;
  if (console_) {
    WriteToConsole(handle_, text);
    return;
  }
  const std::string bytes = Utf8FromUtf16Lossy(text);
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    // A closed pipe or a full disk: the output is lost, the run goes on.
    if (!WriteFile(handle_, bytes.data() + done, size, &written, nullptr) || written == 0) return;
    done += written;
  }
}

Win32ConsoleTerminal::Win32ConsoleTerminal(StandardStream stream) : handle_(StandardHandle(stream)) {}

unsigned Win32ConsoleTerminal::Columns() {
  CONSOLE_SCREEN_BUFFER_INFO information{};
  if (!GetConsoleScreenBufferInfo(handle_, &information)) return kDefaultColumns;
  return WindowColumns(information);
}

void Win32ConsoleTerminal::ReplaceLine(std::u16string_view text) {
  CONSOLE_SCREEN_BUFFER_INFO information{};
  unsigned cells = 0;
  if (GetConsoleScreenBufferInfo(handle_, &information)) {
    // The cursor's row is blanked cell by cell, whatever took how many
    // cells there, and the text written from its start. The last column is
    // left alone: a character there would move the cursor to the next row.
    const COORD start{0, information.dwCursorPosition.Y};
    DWORD done = 0;
    FillConsoleOutputCharacterW(handle_, L' ', static_cast<DWORD>(information.dwSize.X), start, &done);
    FillConsoleOutputAttribute(handle_, information.wAttributes, static_cast<DWORD>(information.dwSize.X), start,
                               &done);
    SetConsoleCursorPosition(handle_, start);
    WriteToConsole(handle_, Fitting(text, WindowColumns(information) - 1, &cells));
    drawn_ = cells;
    return;
  }
  // Without the console's cells: back to the start of the line, the text,
  // spaces over what is left of the last one, and back to the text's end.
  const std::u16string_view fitting = Fitting(text, kDefaultColumns - 1, &cells);
  std::u16string line = u"\r";
  line += fitting;
  if (drawn_ > cells) {
    line.append(drawn_ - cells, u' ');
    line += u"\r";
    line += fitting;
  }
  drawn_ = cells;
  WriteToConsole(handle_, line);
}

}  // namespace tessaly::win32
