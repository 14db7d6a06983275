// The three status families the tool meets. Each is its own type so that a
// Win32 status can never be returned where an HRESULT is expected; the only
// bridges are HresultFromWin32 and HresultFromLastError.
#pragma once

#include <cstdint>

namespace tessaly {

// Win32 error codes as the registry and file functions return them (LSTATUS).
enum class Win32Status : std::int32_t {
  Success = 0,
  FileNotFound = 2,
  PathNotFound = 3,
  AccessDenied = 5,
  InvalidHandle = 6,
  NotEnoughMemory = 8,
  OutOfMemory = 14,
  WriteProtect = 19,
  SharingViolation = 32,
  DiskFull = 112,
  InvalidParameter = 87,
  MoreData = 234,
  NoMoreItems = 259,
  StoppedOnSymlink = 681,
  BadDb = 1009,
  BadKey = 1010,
  CantWrite = 1013,
  RegistryCorrupt = 1015,
  RegistryIoFailed = 1016,
  UnsupportedType = 1630,
};

// NT status codes, as RtlAdjustPrivilege returns them.
enum class NtStatus : std::int32_t {
  Success = 0,
  PrivilegeNotHeld = static_cast<std::int32_t>(0xC0000061),
};

enum class Hresult : std::int32_t {
  Ok = 0,
  NotImplemented = static_cast<std::int32_t>(0x80004001),  // E_NOTIMPL
  NoInterface = static_cast<std::int32_t>(0x80004002),     // E_NOINTERFACE
  Fail = static_cast<std::int32_t>(0x80004005),            // E_FAIL
  FileNotFound = static_cast<std::int32_t>(0x80070002),
};

// The process exit code: an HRESULT, an NTSTATUS (privilege failure only) or 0.
using ExitCode = std::int32_t;

constexpr std::uint32_t Bits(Win32Status status) { return static_cast<std::uint32_t>(status); }
constexpr std::uint32_t Bits(NtStatus status) { return static_cast<std::uint32_t>(status); }
constexpr std::uint32_t Bits(Hresult result) { return static_cast<std::uint32_t>(result); }

constexpr ExitCode ToExitCode(Hresult result) { return static_cast<ExitCode>(result); }
constexpr ExitCode ToExitCode(NtStatus status) { return static_cast<ExitCode>(status); }

constexpr Hresult HresultFromWin32(Win32Status status) {
  const auto code = static_cast<std::int32_t>(status);
  if (code <= 0) return static_cast<Hresult>(code);
  return static_cast<Hresult>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

// Turns a thread's last error code (as the platform reports it) into an HRESULT.
constexpr Hresult HresultFromLastErrorCode(std::uint32_t lastError) {
  if (lastError == 0) return Hresult::Fail;
  if (lastError < 0x10000u) return static_cast<Hresult>(0x80070000u | lastError);
  return static_cast<Hresult>(lastError);
}

}  // namespace tessaly
