// The listings of one component's tree, as a worker read them ahead of the
// walk. Names are packed into one buffer: a listing is made on a worker
// thread and let go on the walk's, and a few large blocks cross between
// threads far more cheaply than one block per name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records/file_system.h"

namespace tessaly::offline {

class ComponentListing {
 public:
  // Positions [first, first + count) of the entries.
  struct Range {
    std::size_t first = 0;
    std::size_t count = 0;
  };

  // Adds the listing of the directory at path below the component
  // directory: "" for that directory itself, then names as on the disk
  // joined by "\".
  void Add(std::u16string_view path, std::span<const DirectoryEntry> entries);

  // The entries of the directory at path; nullopt when it was not listed
  // (it could not be), so the walk lists it itself and meets the same
  // failure at the same point.
  std::optional<Range> Find(std::u16string_view path) const;

  // Entry `index` into *entry, reusing its storage.
  void CopyEntry(std::size_t index, DirectoryEntry* entry) const;
  std::u16string_view EntryName(std::size_t index) const;
  std::uint32_t EntryAttributes(std::size_t index) const { return entries_[index].attributes; }

  std::size_t DirectoryCount() const { return directories_.size(); }
  std::size_t EntryCount() const { return entries_.size(); }
  // UTF-16 units of the names and paths held.
  std::size_t TextSize() const { return text_.size(); }

 private:
  struct Span {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  struct Entry {
    Span name;
    std::uint32_t attributes = 0;
  };
  struct Directory {
    Span path;
    Range entries;
  };

  std::u16string_view Text(Span span) const { return std::u16string_view(text_).substr(span.offset, span.length); }
  Span Append(std::u16string_view text);

  std::u16string text_;
  std::vector<Entry> entries_;
  std::vector<Directory> directories_;
  // Where Find looks first: the walk asks for the directories in about the
  // order they were listed.
  mutable std::size_t nextDirectory_ = 0;
};

}  // namespace tessaly::offline
