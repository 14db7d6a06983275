#pragma once

#include "common/host.h"

namespace tessaly::win32 {

// The process environment block, ntdll's privilege call and the kernel32 and
// shlwapi queries about the system.
class Win32Host final : public Host {
 public:
  OsVersion OperatingSystemVersion() override;
  NtStatus AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly, bool* wasEnabled) override;
  std::uint32_t WindowsDirectory(char16_t* buffer, std::uint32_t capacity) override;
  bool FileExists(const char16_t* path) override;
  bool IsWow64Process() override;
  std::uint32_t ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) override;
  std::uint32_t LastError() override;
};

}  // namespace tessaly::win32
