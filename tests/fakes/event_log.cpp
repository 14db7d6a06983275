#include "fakes/event_log.h"

namespace tessaly::fakes {

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void EventLog::Add(std::string entry) {
  if (enabled) entries_.push_back(std::move(entry));
}

std::size_t EventLog::First(std::string_view prefix) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].starts_with(prefix)) return i;
  }
  return npos;
}

std::size_t EventLog::Last(std::string_view prefix) const {
  for (std::size_t i = entries_.size(); i-- > 0;) {
    if (entries_[i].starts_with(prefix)) return i;
  }
  return npos;
}

std::vector<std::string> EventLog::Filtered(const std::vector<std::string_view>& prefixes) const {
  std::vector<std::string> kept;
  for (const std::string& entry : entries_) {
    for (const std::string_view prefix : prefixes) {
      if (entry.starts_with(prefix)) {
        kept.push_back(entry);
        break;
      }
    }
  }
  return kept;
}

}  // namespace tessaly::fakes
