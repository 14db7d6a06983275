// File seam: directory search, reading the start of a file, and naming a
// file in messages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

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

// Owns a directory search and closes it when it goes out of scope.
class UniqueSearch {
 public:
  UniqueSearch(FileSystem& files, SearchHandle handle) : files_(&files), handle_(handle) {}
  UniqueSearch(UniqueSearch&& other) noexcept
      : files_(other.files_), handle_(std::exchange(other.handle_, SearchHandle::Invalid)) {}
  UniqueSearch& operator=(UniqueSearch&&) = delete;
  UniqueSearch(const UniqueSearch&) = delete;
  UniqueSearch& operator=(const UniqueSearch&) = delete;
  ~UniqueSearch() {
    if (handle_ != SearchHandle::Invalid) files_->FindClose(handle_);
  }

  SearchHandle Get() const { return handle_; }

 private:
  FileSystem* files_;
  SearchHandle handle_;
};

// Owns an open file and closes it when it goes out of scope.
class UniqueFile {
 public:
  UniqueFile(FileSystem& files, FileHandle handle) : files_(&files), handle_(handle) {}
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;
  ~UniqueFile() {
    if (handle_ != FileHandle::Invalid) files_->Close(handle_);
  }

  FileHandle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != FileHandle::Invalid; }

 private:
  FileSystem* files_;
  FileHandle handle_;
};

}  // namespace tessaly
