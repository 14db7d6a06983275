// The image's files on Linux: the Windows directory of a volume mounted
// here, reached by descriptors relative to it. Handles are the descriptors
// themselves; names are UTF-8 on the disk and UTF-16 in the seam.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/offline/image_files.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::posix {

// The path without trailing slashes; "/" stays "/".
std::string WithoutTrailingSlashes(std::string_view path);

// The Windows directory as the engine's paths start with it: the path as
// given, without trailing slashes, in UTF-16; nullopt when it is not UTF-8.
std::optional<std::u16string> EngineDirectory(std::string_view windowsDirectory);

class PosixImageFiles : public offline::ImageFiles {
 public:
  // windowsDirectory: the Linux path as given by the user, opened here; the
  // one place where a symbolic link is followed.
  explicit PosixImageFiles(std::string_view windowsDirectory);

  // The Windows directory as given, without trailing slashes: the bytes the
  // engine's paths start with, once decoded.
  const std::string& WindowsDirectory() const { return windowsDirectory_; }

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

  bool IsRunningSystem() override { return false; }
  unsigned AffordableWorkers(unsigned wanted) override;

  std::u16string DisplayPath(std::span<const std::u16string> names) override;
  char16_t PathSeparator() const override { return u'/'; }
  std::u16string Describe(const offline::FileStatus& status) override;
  Win32Status ToWin32Status(const offline::FileStatus& status) override;

 private:
  // As given, without trailing slashes ("/" stays "/").
  std::string windowsDirectory_;
  posix::UniqueFd root_;
  // Why the Windows directory could not be opened.
  int rootError_ = 0;
};

}  // namespace tessaly::posix
