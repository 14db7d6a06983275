// The file seam answered from the image's winsxs tree. A search reads its
// whole directory at once, so no descriptor stays open while the walk goes
// deeper; files are read through plain descriptors.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/offline/image_tree.h"
#include "records/file_system.h"

namespace tessaly::offline {

class OfflineFileSystem final : public FileSystem {
 public:
  explicit OfflineFileSystem(ImageTree& image) : image_(image) {}

  // pattern: a directory path followed by "\*".
  SearchHandle FindFirst(const char16_t* pattern, DirectoryEntry* entry) override;
  bool FindNext(SearchHandle search, DirectoryEntry* entry) override;
  void FindClose(SearchHandle search) override;
  // Regular files only, never through a symbolic link.
  FileHandle OpenForRead(const char16_t* path) override;
  bool Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
  void Close(FileHandle file) override;

 private:
  struct Listing {
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
  };

  ImageTree& image_;
  std::map<SearchHandle, Listing> searches_;
  std::uintptr_t lastSearch_ = 0;
};

}  // namespace tessaly::offline
