#include "platform/win32/win32_host.h"

#include <windows.h>
#include <shlwapi.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>

#include "platform/win32/wide_text.h"

// Exported by ntdll; the SDK headers do not declare it.
extern "C" NTSYSAPI NTSTATUS NTAPI RtlAdjustPrivilege(ULONG privilege, BOOLEAN enable, BOOLEAN currentThread,
                                                     PBOOLEAN wasEnabled);

namespace tessaly::win32 {
namespace {

// Offsets of OSMajorVersion in the process environment block; OSMinorVersion
// follows it. The public PEB declaration keeps these fields in reserved space.
#if defined(_WIN64)
constexpr std::size_t kOsMajorVersionOffset = 0x118;
#else
constexpr std::size_t kOsMajorVersionOffset = 0xA4;
#endif
constexpr std::size_t kOsMinorVersionOffset = kOsMajorVersionOffset + sizeof(ULONG);

ULONG ReadPebField(const PEB* peb, std::size_t offset) {
  ULONG value = 0;
  std::memcpy(&value, reinterpret_cast<const unsigned char*>(peb) + offset, sizeof(value));
  return value;
}

const PEB* CurrentPeb() {
  // GCC 12 takes the segment-relative read inside NtCurrentTeb for an access
  // through a null-based pointer and warns; the read itself is the documented one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
  return NtCurrentTeb()->ProcessEnvironmentBlock;
#pragma GCC diagnostic pop
}

}  // namespace

OsVersion Win32Host::OperatingSystemVersion() {
  const PEB* const peb = CurrentPeb();
  return {ReadPebField(peb, kOsMajorVersionOffset), ReadPebField(peb, kOsMinorVersionOffset)};
}

NtStatus Win32Host::AdjustPrivilege(std::uint32_t privilege, bool enable, bool currentThreadOnly, bool* wasEnabled) {
  BOOLEAN previous = FALSE;
  const NTSTATUS status = RtlAdjustPrivilege(privilege, enable, currentThreadOnly, &previous);
  *wasEnabled = previous != FALSE;
  return static_cast<NtStatus>(status);
}

std::uint32_t Win32Host::WindowsDirectory(char16_t* buffer, std::uint32_t capacity) {
  return GetWindowsDirectoryW(AsWide(buffer), capacity);
}

bool Win32Host::FileExists(const char16_t* path) { return PathFileExistsW(AsWide(path)) != FALSE; }

// IsOS is imported from shlwapi by ordinal (see shlwapi-*.def): older
// shlwapi builds export it by ordinal only.
bool Win32Host::IsWow64Process() { return IsOS(OS_WOW6432) != FALSE; }

std::uint32_t Win32Host::ExpandEnvironment(const char16_t* source, char16_t* destination, std::uint32_t capacity) {
  return ExpandEnvironmentStringsW(AsWide(source), AsWide(destination), capacity);
}

std::uint32_t Win32Host::LastError() { return GetLastError(); }

}  // namespace tessaly::win32
