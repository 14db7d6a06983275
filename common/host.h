// Host seam: facts about the running system and the process.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace tessaly {

struct OsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
};

inline constexpr std::uint32_t kSeBackupPrivilege = 17;
inline constexpr std::uint32_t kSeRestorePrivilege = 18;

class Host {
 public:
  virtual ~Host() = default;
  // OSMajorVersion and OSMinorVersion of the process environment block.
  virtual OsVersion OperatingSystemVersion() = 0;
  // RtlAdjustPrivilege
  virtual NtStatus AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly,
                                   bool* wasEnabled) = 0;
  // GetWindowsDirectoryW: characters written without the terminator, the
  // size needed (terminator included) when the buffer is too small, 0 on failure.
  virtual std::uint32_t WindowsDirectory(char16_t* buffer, std::uint32_t capacity) = 0;
  // PathFileExistsW
  virtual bool FileExists(const char16_t* path) = 0;
  // IsOS(OS_WOW6432): a 32-bit process on 64-bit Windows.
  virtual bool IsWow64Process() = 0;
  // ExpandEnvironmentStringsW: characters needed including the terminator, 0 on failure.
  virtual std::uint32_t ExpandEnvironment(const char16_t* source, char16_t* destination,
                                          std::uint32_t capacity) = 0;
  // GetLastError
  virtual std::uint32_t LastError() = 0;
};

inline Hresult HresultFromLastError(Host& host) { return HresultFromLastErrorCode(host.LastError()); }

}  // namespace tessaly
