#include "platform/offline/offline_file_system.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaly::offline {
namespace {

constexpr std::u16string_view kAllEntries = u"\\*";

}  // namespace

OfflineFileSystem::Listing* OfflineFileSystem::Find(SearchHandle search) {
  const auto position = static_cast<std::uintptr_t>(search) - 1;
  if (position >= listings_.size() || !listings_[position].open) return nullptr;
  return &listings_[position];
}

bool OfflineFileSystem::TakeReadAhead(std::u16string_view directoryPath, Listing* listing) {
  if (readAhead_ == nullptr || !directoryPath.starts_with(readAhead_->StoreRoot())) return false;
  directoryPath.remove_prefix(readAhead_->StoreRoot().size());
  const std::u16string_view component = directoryPath.substr(0, directoryPath.find(u'\\'));
  std::u16string_view below;
  if (component.size() == directoryPath.size()) {
    component_ = component;
    std::optional<ListedComponent> entered = readAhead_->Enter(component);
    componentListing_ = nullptr;
    if (entered) {
      componentListing_ = std::make_shared<const ComponentListing>(std::move(entered->listing));
      // Its files are opened in it, without opening it again.
      if (entered->directory) image_.Adopt(components_, std::move(entered->directory));
    }
  } else if (component == component_) {
    below = directoryPath.substr(component.size() + 1);
  } else {
    return false;
  }
  if (componentListing_ == nullptr) return false;
  const std::optional<ComponentListing::Range> range = componentListing_->Find(below);
  if (!range) return false;
  listing->readAhead = componentListing_;
  listing->next = range->first;
  listing->end = range->first + range->count;
  return true;
}

bool OfflineFileSystem::NextEntry(Listing* listing, DirectoryEntry* entry) {
  if (listing->next == listing->end) return false;
  if (listing->readAhead != nullptr) {
    listing->readAhead->CopyEntry(listing->next++, entry);
  } else {
    // Each entry is handed out once, so it is moved rather than copied.
    *entry = std::move(listing->entries[listing->next++]);
  }
  progress_.SeeEntry(*entry);
  return true;
}

SearchHandle OfflineFileSystem::FindFirst(const char16_t* pattern, DirectoryEntry* entry) {
  std::u16string_view directoryPath(pattern);
  if (!directoryPath.ends_with(kAllEntries)) return SearchHandle::Invalid;
  directoryPath.remove_suffix(kAllEntries.size());
  if (!image_.SplitPath(directoryPath, &components_)) return SearchHandle::Invalid;

  auto listing = std::find_if(listings_.begin(), listings_.end(), [](const Listing& slot) { return !slot.open; });
  if (listing == listings_.end()) listing = listings_.emplace(listings_.end());
  listing->readAhead = nullptr;
  if (!TakeReadAhead(directoryPath, &*listing)) {
    DirectoryHandle directory = DirectoryHandle::Invalid;
    ListingStart start = ListingStart::Rewind;
    if (!image_.ResolveDirectory(components_, &directory, &start).Ok() ||
        !image_.Files().ListDirectory(directory, start, SIZE_MAX, &listing->entries).Ok()) {
      return SearchHandle::Invalid;
    }
    listing->next = 0;
    listing->end = listing->entries.size();
  }
  if (!NextEntry(&*listing, entry)) return SearchHandle::Invalid;
  listing->open = true;
  return static_cast<SearchHandle>(listing - listings_.begin() + 1);
}

bool OfflineFileSystem::FindNext(SearchHandle search, DirectoryEntry* entry) {
  Listing* const listing = Find(search);
  return listing != nullptr && NextEntry(listing, entry);
}

void OfflineFileSystem::FindClose(SearchHandle search) {
  if (Listing* const listing = Find(search); listing != nullptr) listing->open = false;
}

FileHandle OfflineFileSystem::OpenForRead(const char16_t* path) {
  UniqueImageFile file(image_.Files());
  if (!image_.SplitPath(path, &components_) || !image_.OpenFile(components_, FileAccess::Read, &file).Ok()) {
    return FileHandle::Invalid;
  }
  return static_cast<FileHandle>(file.Release());
}

bool OfflineFileSystem::Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  std::size_t got = 0;
  if (!image_.Files().Read(static_cast<ImageFileHandle>(file), std::span(buffer, size), &got).Ok()) return false;
  *bytesRead = static_cast<std::uint32_t>(got);
  return true;
}

void OfflineFileSystem::Close(FileHandle file) { image_.Files().CloseFile(static_cast<ImageFileHandle>(file)); }

std::u16string OfflineFileSystem::DisplayPath(const std::u16string& path) {
  // Paths the walk found always split; anything else is the engine's own
  // text, shown as it is.
  if (!image_.SplitPath(path, &components_)) return path;
  return image_.DisplayPath(components_);
}

}  // namespace tessaly::offline
