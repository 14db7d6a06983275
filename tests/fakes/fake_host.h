#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/host.h"
#include "fakes/event_log.h"

namespace tessaly::fakes {

// A scripted system: its version, the answers to privilege requests, its
// Windows directory, the files that exist and its environment.
class FakeHost final : public Host {
 public:
  explicit FakeHost(EventLog& events) : events_(events) {}

  OsVersion OperatingSystemVersion() override { return osVersion; }
  NtStatus AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly, bool* wasEnabled) override;
  std::uint32_t WindowsDirectory(char16_t* buffer, std::uint32_t capacity) override;
  bool FileExists(const char16_t* path) override;
  bool IsWow64Process() override { return wow64; }
  std::uint32_t ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) override;
  std::uint32_t LastError() override { return lastError; }

  OsVersion osVersion{10, 0};

  // Privileges not listed here are granted.
  std::map<std::uint32_t, NtStatus> privilegeResults;
  struct PrivilegeRequest {
    std::uint32_t privilege;
    bool enable;
    bool currentThreadOnly;
  };
  std::vector<PrivilegeRequest> privilegeRequests;

  std::u16string windowsDirectory = u"C:\\Windows";
  // Replaces the answer of WindowsDirectory (0 for a failing call).
  std::optional<std::uint32_t> windowsDirectoryResult;

  std::set<std::u16string> existingFiles;
  std::vector<std::u16string> fileExistsQueries;

  bool wow64 = false;

  // %NAME% references are expanded from here (names compared without case);
  // unknown references stay as written, as Windows leaves them.
  std::map<std::u16string, std::u16string> environment;
  // Replaces the answer of ExpandEnvironment; nothing is written then.
  std::optional<std::uint32_t> expandResult;
  std::vector<std::u16string> expandedSources;

  std::uint32_t lastError = 0;

 private:
  EventLog& events_;
};

}  // namespace tessaly::fakes
