// A shared, ordered record of what the fakes were asked to do, so that tests
// can check the order of steps across seams (a message before a key is
// closed, a file closed before the next directory entry is fetched).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::fakes {

// UTF-16 to UTF-8, for event texts and readable failure output.
std::string Utf8(std::u16string_view text);

class EventLog {
 public:
  // Very long runs (thousands of nested directories) switch recording off.
  bool enabled = true;

  void Add(std::string entry);
  const std::vector<std::string>& Entries() const { return entries_; }

  // Position of the first entry that starts with prefix; npos when none does.
  std::size_t First(std::string_view prefix) const;
  // Position of the last entry that starts with prefix; npos when none does.
  std::size_t Last(std::string_view prefix) const;
  bool Contains(std::string_view prefix) const { return First(prefix) != npos; }
  // The entries that start with any of the prefixes, in order.
  std::vector<std::string> Filtered(const std::vector<std::string_view>& prefixes) const;

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 private:
  std::vector<std::string> entries_;
};

}  // namespace tessaly::fakes
