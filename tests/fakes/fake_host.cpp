#include "fakes/fake_host.h"

#include <algorithm>

#include "fakes/names.h"

namespace tessaly::fakes {

NtStatus FakeHost::AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly, bool* wasEnabled) {
  privilegeRequests.push_back({privilege, enable, currentThreadOnly});
  events_.Add("privilege " + std::to_string(privilege));
  const auto scripted = privilegeResults.find(privilege);
  const NtStatus status = scripted == privilegeResults.end() ? NtStatus::Success : scripted->second;
  if (status == NtStatus::Success) *wasEnabled = false;
  return status;
}

std::uint32_t FakeHost::WindowsDirectory(char16_t* buffer, std::uint32_t capacity) {
  events_.Add("windows directory");
  if (windowsDirectoryResult) return *windowsDirectoryResult;
  const auto length = static_cast<std::uint32_t>(windowsDirectory.size());
  if (length + 1 > capacity) return length + 1;
  std::copy(windowsDirectory.begin(), windowsDirectory.end(), buffer);
  buffer[length] = u'\0';
  return length;
}

bool FakeHost::FileExists(const char16_t* path) {
  fileExistsQueries.emplace_back(path);
  return existingFiles.contains(path);
}

std::uint32_t FakeHost::ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) {
  const std::u16string text = source;
  expandedSources.push_back(text);
  if (expandResult) return *expandResult;

  std::u16string expanded;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t open = text.find(u'%', position);
    const std::size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string::npos) {
      expanded += text.substr(position);
      break;
    }
    expanded += text.substr(position, open - position);
    const std::u16string name = text.substr(open + 1, close - open - 1);
    const auto variable = std::find_if(environment.begin(), environment.end(),
                                       [&](const auto& entry) { return EqualIgnoringCase(entry.first, name); });
    expanded += variable == environment.end() ? text.substr(open, close - open + 1) : variable->second;
    position = close + 1;
  }

  const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
  if (needed <= capacity) {
    std::copy(expanded.begin(), expanded.end(), destination);
    destination[expanded.size()] = u'\0';
  }
  return needed;
}

}  // namespace tessaly::fakes
