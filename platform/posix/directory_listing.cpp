#include "platform/posix/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

#include "hive/name_case.h"
#include "common/utf_conversion.h"

namespace tessaly::posix {
namespace {

// Large enough for a component directory in one read.
constexpr std::size_t kListingBufferSize = 32 * 1024;

std::uint32_t AttributesOf(mode_t mode) {
  if (S_ISLNK(mode)) return kFileAttributeReparsePoint;
  if (S_ISDIR(mode)) return kFileAttributeDirectory;
  return kFileAttributeNormal;
}

// The entry's type as the directory itself records it, asking the inode
// only on file systems that do not record it.
std::optional<std::uint32_t> EntryAttributes(int directory, const dirent64& entry) {
  switch (entry.d_type) {
    case DT_LNK:
      return kFileAttributeReparsePoint;
    case DT_DIR:
      return kFileAttributeDirectory;
    case DT_UNKNOWN:
      break;
    default:
      return kFileAttributeNormal;
  }
  struct stat status {};
  // An entry removed since it was read is simply not listed.
  if (fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return AttributesOf(status.st_mode);
}

}  // namespace

int ListDirectory(int directory, std::vector<DirectoryEntry>* entries) {
  if (lseek(directory, 0, SEEK_SET) < 0) return errno;
  return ListOpenedDirectory(directory, entries, std::numeric_limits<std::size_t>::max());
}

int ListOpenedDirectory(int directory, std::vector<DirectoryEntry>* entries, std::size_t maxEntries) {
  alignas(dirent64) char buffer[kListingBufferSize];
  std::size_t count = 0;
  for (;;) {
    const ssize_t filled = getdents64(directory, buffer, sizeof(buffer));
    if (filled < 0) return errno;
    if (filled == 0) break;
    for (ssize_t offset = 0; offset < filled;) {
      if (count == maxEntries) return E2BIG;
      const auto* const found = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += found->d_reclen;
      // Entries past the current count are storage left from an earlier listing, reused.
      if (count == entries->size()) entries->emplace_back();
      DirectoryEntry& entry = (*entries)[count];
      if (!Utf16FromUtf8(found->d_name, &entry.name)) continue;
      const std::optional<std::uint32_t> attributes = EntryAttributes(directory, *found);
      if (!attributes) continue;
      entry.attributes = *attributes;
      ++count;
    }
  }
  entries->resize(count);
  std::sort(entries->begin(), entries->end(),
            [](const DirectoryEntry& left, const DirectoryEntry& right) { return hive::ListsBefore(left.name, right.name); });
  return 0;
}

}  // namespace tessaly::posix
