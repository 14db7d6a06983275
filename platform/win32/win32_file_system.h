#pragma once

#include <string>

#include "records/file_system.h"

namespace tessaly::win32 {

// Directory search and the read of a file's first bytes through kernel32.
class Win32FileSystem final : public FileSystem {
 public:
  SearchHandle FindFirst(const char16_t* pattern, DirectoryEntry* entry) override;
  bool FindNext(SearchHandle search, DirectoryEntry* entry) override;
  void FindClose(SearchHandle search) override;
  FileHandle OpenForRead(const char16_t* path) override;
  bool Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
  void Close(FileHandle file) override;
  // Messages name a file by the path the engine built, "\\?\" and all.
  std::u16string DisplayPath(const std::u16string& path) override { return path; }
};

}  // namespace tessaly::win32
