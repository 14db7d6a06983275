#include "platform/offline/offline_file_system.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/offline/directory_listing.h"
#include "platform/offline/unique_fd.h"

namespace tessaly::offline {
namespace {

constexpr std::u16string_view kAllEntries = u"\\*";

}  // namespace

SearchHandle OfflineFileSystem::FindFirst(const char16_t* pattern, DirectoryEntry* entry) {
  std::u16string_view directoryPath(pattern);
  if (!directoryPath.ends_with(kAllEntries)) return SearchHandle::Invalid;
  directoryPath.remove_suffix(kAllEntries.size());

  std::vector<std::string> components;
  if (!image_.SplitPath(directoryPath, &components)) return SearchHandle::Invalid;
  int directory = -1;
  Listing listing;
  if (image_.ResolveDirectory(components, &directory) != 0 || ListDirectory(directory, &listing.entries) != 0 ||
      listing.entries.empty()) {
    return SearchHandle::Invalid;
  }
  *entry = listing.entries.front();
  listing.next = 1;
  const auto search = static_cast<SearchHandle>(++lastSearch_);
  searches_.emplace(search, std::move(listing));
  return search;
}

bool OfflineFileSystem::FindNext(SearchHandle search, DirectoryEntry* entry) {
  const auto found = searches_.find(search);
  if (found == searches_.end()) return false;
  Listing& listing = found->second;
  if (listing.next == listing.entries.size()) return false;
  *entry = listing.entries[listing.next++];
  return true;
}

void OfflineFileSystem::FindClose(SearchHandle search) { searches_.erase(search); }

FileHandle OfflineFileSystem::OpenForRead(const char16_t* path) {
  std::vector<std::string> components;
  UniqueFd file;
  if (!image_.SplitPath(path, &components) || image_.OpenFile(components, &file) != 0) return FileHandle::Invalid;
  return static_cast<FileHandle>(file.Release());
}

bool OfflineFileSystem::Read(FileHandle file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  const int fd = static_cast<int>(file);
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t got = read(fd, buffer + total, size - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    total += static_cast<std::uint32_t>(got);
  }
  *bytesRead = total;
  return true;
}

void OfflineFileSystem::Close(FileHandle file) { close(static_cast<int>(file)); }

}  // namespace tessaly::offline
