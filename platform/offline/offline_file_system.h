// The file seam answered from the image's winsxs tree. A search reads its
// whole directory at once and holds no handle of its own; the image tree
// keeps the directories of the path resolved last open, for the next path
// of the walk. Files are read through the image's files. With a
// read-ahead plan, searches below the store are answered from listings
// worker threads made ahead of the walk, when they have them, and the
// component directory a worker listed is the one its files are opened in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/offline/image_tree.h"
#include "platform/offline/progress_line.h"
#include "platform/offline/read_ahead_plan.h"
#include "records/file_system.h"

namespace tessaly::offline {

class OfflineFileSystem final : public FileSystem {
 public:
  // progress: counts the files the searches list. readAhead: where listings
  // read ahead of the walk come from, if anywhere.
  OfflineFileSystem(ImageTree& image, ProgressLine& progress, ReadAheadPlan* readAhead = nullptr)
      : image_(image), progress_(progress), readAhead_(readAhead) {}

  // pattern: a directory path followed by "\*".
  SearchHandle FindFirst(const char16_t* pattern, DirectoryEntry* entry) override;
  bool FindNext(SearchHandle search, DirectoryEntry* entry) override;
  void FindClose(SearchHandle search) override;
  // Regular files only, never through a symbolic link.
  FileHandle OpenForRead(const char16_t* path) override;
  bool Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
  void Close(FileHandle file) override;
  // The file's path as the image's files show it, its names as found.
  std::u16string DisplayPath(const std::u16string& path) override;

 private:
  // A search's entries [next, end): its own, when the walk listed the
  // directory itself, or else a part of the component's listing read ahead.
  struct Listing {
    bool open = false;
    std::vector<DirectoryEntry> entries;
    std::shared_ptr<const ComponentListing> readAhead;
    std::size_t next = 0;
    std::size_t end = 0;
  };

  // The open search with this handle, or nullptr.
  Listing* Find(SearchHandle search);
  // Points *listing at the listing of the directory at directoryPath, when
  // it was read ahead.
  bool TakeReadAhead(std::u16string_view directoryPath, Listing* listing);
  // The search's next entry into *entry; false when there is none left.
  bool NextEntry(Listing* listing, DirectoryEntry* entry);

  ImageTree& image_;
  ProgressLine& progress_;
  ReadAheadPlan* readAhead_;
  // The component the walk is in, and what is left of its listings.
  std::u16string component_;
  std::shared_ptr<const ComponentListing> componentListing_;
  // The components of the path handled last, kept to reuse their storage.
  std::vector<std::u16string> components_;
  // A search's handle is its position here plus one. Only a few searches
  // are open at a time, one per level of the walk, so a closed one's place
  // is taken by the next, storage and all.
  std::vector<Listing> listings_;
};

}  // namespace tessaly::offline
