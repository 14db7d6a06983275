#include "platform/win32/win32_file_system.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace tessaly::win32 {
namespace {

HANDLE ToHandle(SearchHandle search) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(search)); }
HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(file)); }

void CopyEntry(const WIN32_FIND_DATAW& found, DirectoryEntry* entry) {
  entry->name = AsUtf16(found.cFileName);
  entry->attributes = found.dwFileAttributes;
}

}  // namespace

// Both handle types use INVALID_HANDLE_VALUE for "none", as the engine's Invalid does.
static_assert(static_cast<std::uintptr_t>(SearchHandle::Invalid) == ~std::uintptr_t{0});
static_assert(static_cast<std::uintptr_t>(FileHandle::Invalid) == ~std::uintptr_t{0});

SearchHandle Win32FileSystem::FindFirst(const char16_t* pattern, DirectoryEntry* entry) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(AsWide(pattern), &found);
  if (search != INVALID_HANDLE_VALUE) CopyEntry(found, entry);
  return static_cast<SearchHandle>(reinterpret_cast<std::uintptr_t>(search));
}

bool Win32FileSystem::FindNext(SearchHandle search, DirectoryEntry* entry) {
  WIN32_FIND_DATAW found;
  if (!FindNextFileW(ToHandle(search), &found)) return false;
  CopyEntry(found, entry);
  return true;
}

void Win32FileSystem::FindClose(SearchHandle search) { ::FindClose(ToHandle(search)); }

FileHandle Win32FileSystem::OpenForRead(const char16_t* path) {
  const HANDLE file = CreateFileW(AsWide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  return static_cast<FileHandle>(reinterpret_cast<std::uintptr_t>(file));
}

bool Win32FileSystem::Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  DWORD read = 0;
  const BOOL succeeded = ReadFile(ToHandle(file), buffer, size, &read, nullptr);
  *bytesRead = read;
  return succeeded != FALSE;
}

void Win32FileSystem::Close(FileHandle file) { CloseHandle(ToHandle(file)); }

}  // namespace tessaly::win32
