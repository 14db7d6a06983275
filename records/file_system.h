// File seam: directory search, reading the start of a file, and naming a
// file in messages.
#pragma once

#include <cstdint>
#include <string>

#include "common/unique_handle.h"

namespace tessaly {

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

enum class SearchHandle : std::uintptr_t { Invalid = ~std::uintptr_t{0} };
enum class FileHandle : std::uintptr_t { Invalid = ~std::uintptr_t{0} };

struct DirectoryEntry {
  std::u16string name;
  std::uint32_t attributes = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // FindFirstFileW; Invalid when the directory cannot be listed.
  virtual SearchHandle FindFirst(const char16_t* pattern, DirectoryEntry* entry) = 0;
  // FindNextFileW; false at the end of the listing or on failure.
  virtual bool FindNext(SearchHandle search, DirectoryEntry* entry) = 0;
  // FindClose
  virtual void FindClose(SearchHandle search) = 0;
  // CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING).
  virtual FileHandle OpenForRead(const char16_t* path) = 0;
  // ReadFile
  virtual bool Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) = 0;
  // CloseHandle
  virtual void Close(FileHandle file) = 0;
  // How messages name the file or directory at path, a path this seam has
  // just found or opened: the path itself on Windows, the platform's own
  // form elsewhere.
  virtual std::u16string DisplayPath(const std::u16string& path) = 0;
};

using UniqueSearch = UniqueHandle<SearchHandle::Invalid, &FileSystem::FindClose>;
using UniqueFile = UniqueHandle<FileHandle::Invalid, &FileSystem::Close>;

}  // namespace tessaly
