// The image's files on Windows (Windows PE, or a Windows with the broken
// installation's disk attached): the Windows directory given on the command
// line, reached by full paths with the \\?\ prefix, so that long paths work
// and no name is taken for a device or trimmed of dots and spaces.
// Directory and file handles are keys into tables of the open Win32 handles
// and their paths.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/offline/image_files.h"

namespace tessaly::win32 {

class Win32ImageFiles final : public offline::ImageFiles {
 public:
  // windowsDirectory: as given by the user (L"D:\\Windows", a relative path,
  // a UNC path, a path longer than MAX_PATH). Enables the backup, restore
  // and security privileges where the token has them; a dry run needs none.
  explicit Win32ImageFiles(std::u16string windowsDirectory);
  ~Win32ImageFiles() override;
  Win32ImageFiles(const Win32ImageFiles&) = delete;
  Win32ImageFiles& operator=(const Win32ImageFiles&) = delete;

  offline::FileStatus OpenWindowsDirectory(offline::DirectoryHandle* directory) override;
  offline::FileStatus OpenDirectory(offline::DirectoryHandle parent, std::u16string_view name,
                                    offline::DirectoryHandle* directory) override;
  void CloseDirectory(offline::DirectoryHandle directory) override;
  offline::FileStatus ListDirectory(offline::DirectoryHandle directory, offline::ListingStart start, std::size_t maxEntries,
                                    std::vector<DirectoryEntry>* entries) override;
  offline::FileStatus LookUpEntry(offline::DirectoryHandle parent, std::u16string_view name,
                                  offline::EntryFacts* facts) override;
  offline::FileStatus IdentifyDirectory(offline::DirectoryHandle directory, offline::FileIdentity* identity) override;
  offline::FileStatus CheckReadable(offline::DirectoryHandle parent, std::u16string_view name,
                                    offline::EntryKind kind) override;

  offline::FileStatus OpenFile(offline::DirectoryHandle parent, std::u16string_view name, offline::FileAccess access,
                               offline::ImageFileHandle* file) override;
  offline::FileStatus CloseFile(offline::ImageFileHandle file) override;
  offline::FileStatus Inspect(offline::ImageFileHandle file, offline::FileFacts* facts) override;
  offline::FileStatus Read(offline::ImageFileHandle file, std::span<std::uint8_t> buffer, std::size_t* got) override;
  offline::FileStatus ReadAt(offline::ImageFileHandle file, std::uint64_t offset, std::span<std::uint8_t> buffer,
                             std::size_t* got) override;
  offline::FileStatus MapFile(offline::ImageFileHandle file, std::uint64_t size, offline::MappingHandle* mapping,
                              std::span<const std::uint8_t>* bytes) override;
  offline::FileStatus MapFileForChanges(offline::ImageFileHandle file, std::uint64_t size,
                                        offline::MappingHandle* mapping, std::span<std::uint8_t>* bytes) override;
  void Unmap(offline::MappingHandle mapping) override;

  offline::FileStatus CreateFile(offline::DirectoryHandle directory, std::u16string_view name,
                                 offline::ImageFileHandle* file) override;
  offline::FileStatus Write(offline::ImageFileHandle file, std::span<const std::uint8_t> data) override;
  offline::FileStatus WriteAt(offline::ImageFileHandle file, std::uint64_t offset,
                              std::span<const std::uint8_t> data) override;
  offline::FileStatus Flush(offline::ImageFileHandle file) override;
  offline::FileStatus CarryMetadata(offline::ImageFileHandle original, offline::ImageFileHandle copy) override;
  offline::FileStatus Link(offline::DirectoryHandle directory, std::u16string_view existing,
                           std::u16string_view newName) override;
  offline::FileStatus Rename(offline::DirectoryHandle directory, std::u16string_view from, std::u16string_view to,
                             bool replace) override;
  offline::FileStatus Remove(offline::DirectoryHandle directory, std::u16string_view name) override;
  offline::FileStatus SyncDirectory(offline::DirectoryHandle directory) override;
  offline::FileStatus FreeSpace(offline::DirectoryHandle directory, std::uint64_t* bytes) override;
  bool LacksHardLinks(offline::DirectoryHandle directory) override;
  offline::WriteAccess ProbeWriteAccess(offline::DirectoryHandle directory, std::u16string_view name) override;

  bool IsRunningSystem() override;
  unsigned AffordableWorkers(unsigned wanted) override;

  std::u16string DisplayPath(std::span<const std::u16string> names) override;
  char16_t PathSeparator() const override { return u'\\'; }
  std::u16string Describe(const offline::FileStatus& status) override;
  Win32Status ToWin32Status(const offline::FileStatus& status) override;

 private:
  struct Directory;
  struct File;
  struct Tables;

  // The entry of an open handle; nullptr for one this object did not give out.
  Directory* FindDirectory(offline::DirectoryHandle directory);
  File* FindFile(offline::ImageFileHandle file);
  offline::DirectoryHandle AddDirectory(std::unique_ptr<Directory> directory);
  offline::ImageFileHandle AddFile(std::unique_ptr<File> file);
  offline::FileStatus OpenDirectoryPath(std::u16string path, bool followLink, offline::DirectoryHandle* directory);
  offline::FileStatus ReadFrom(File& file, std::uint64_t offset, std::span<std::uint8_t> buffer, std::size_t* got);

  // As given, without trailing separators ("D:\" stays "D:\"), for messages.
  std::u16string givenDirectory_;
  // The full path with the \\?\ prefix; empty when it could not be formed.
  std::u16string fullDirectory_;
  // Why the full path could not be formed.
  std::uint32_t fullDirectoryError_ = 0;
  // Whether SeSecurityPrivilege is enabled, so that opens may ask for the SACL.
  bool securityPrivilege_ = false;
  std::unique_ptr<Tables> tables_;
};

}  // namespace tessaly::win32
