#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/event_log.h"
#include "records/file_system.h"

namespace tessaly::fakes {

// An in-memory directory tree. Every directory lists "." and ".." first and
// then its entries in the order they were added. Paths are split at
// backslashes and matched exactly, so "\\?\C:\x" is the directory chain
// "", "", "?", "C:", "x".
class FakeFileSystem final : public FileSystem {
 public:
  using NodeId = std::size_t;

  explicit FakeFileSystem(EventLog& events);

  SearchHandle FindFirst(const char16_t* pattern, DirectoryEntry* entry) override;
  bool FindNext(SearchHandle search, DirectoryEntry* entry) override;
  void FindClose(SearchHandle search) override;
  FileHandle OpenForRead(const char16_t* path) override;
  bool Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
  void Close(FileHandle file) override;
  // The path from displayPaths, or the path itself as on Windows.
  std::u16string DisplayPath(const std::u16string& path) override;

  // Creates the directory and any missing parents; attributes apply to the last one.
  NodeId AddDirectory(std::u16string_view path, std::uint32_t attributes = kFileAttributeDirectory);
  NodeId AddChildDirectory(NodeId parent, std::u16string name);
  // Creates the file and any missing parent directories.
  NodeId AddFile(std::u16string_view path, std::string_view content, std::uint32_t attributes = 0);
  // The file exists and is listed but cannot be opened (held without read sharing).
  void FailOpen(std::u16string path) { unopenable_.insert(std::move(path)); }
  // How a platform other than Windows names some paths in messages.
  std::map<std::u16string, std::u16string> displayPaths;

  // Observations.
  std::vector<std::u16string> listedDirectories;  // FindFirst patterns
  std::vector<std::u16string> openedFiles;
  std::size_t mostSearchesOpenAtOnce = 0;
  int fetchesWithFileOpen = 0;  // FindFirst or FindNext while a file was open
  int badHandleUses = 0;
  std::size_t OpenSearchCount() const { return searches_.size(); }
  std::size_t OpenFileCount() const { return files_.size(); }

 private:
  struct Node {
    std::u16string name;
    std::uint32_t attributes;
    std::string content;
    std::vector<NodeId> children;
  };
  struct Search {
    NodeId directory;
    std::size_t next;  // 0 and 1 are "." and ".."
    std::string path;
  };
  struct OpenFile {
    NodeId node;
    std::size_t position;
    std::string path;
  };

  bool IsDirectory(NodeId node) const { return (nodes_[node].attributes & kFileAttributeDirectory) != 0; }
  NodeId Child(NodeId parent, std::u16string_view name, std::uint32_t attributes);
  // npos when the path names nothing.
  NodeId Resolve(std::u16string_view path) const;
  bool Fetch(Search& search, DirectoryEntry* entry) const;

  static constexpr NodeId kNone = static_cast<NodeId>(-1);
  EventLog& events_;
  std::vector<Node> nodes_;
  std::set<std::u16string> unopenable_;
  std::map<SearchHandle, Search> searches_;
  std::map<FileHandle, OpenFile> files_;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace tessaly::fakes
