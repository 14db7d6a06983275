#include "platform/offline/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "platform/offline/name_case.h"
#include "platform/offline/utf_conversion.h"

namespace tessaly::offline {
namespace {

struct DirectoryCloser {
  void operator()(DIR* stream) const { closedir(stream); }
};

std::uint32_t AttributesOf(mode_t mode) {
  if (S_ISLNK(mode)) return kFileAttributeReparsePoint;
  if (S_ISDIR(mode)) return kFileAttributeDirectory;
  return kFileAttributeNormal;
}

// The entry's type as the directory itself records it, asking the inode
// only on file systems that do not record it.
std::optional<std::uint32_t> EntryAttributes(int directory, const dirent& entry) {
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
  // A fresh open of "." has its own read position, so the caller's descriptor can be listed again.
  const int listingFd = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) return errno;
  const std::unique_ptr<DIR, DirectoryCloser> stream(fdopendir(listingFd));
  if (!stream) {
    const int error = errno;
    close(listingFd);
    return error;
  }

  entries->clear();
  for (;;) {
    errno = 0;
    const dirent* const found = readdir(stream.get());
    if (found == nullptr) {
      if (errno != 0) return errno;
      break;
    }
    std::optional<std::u16string> name = Utf16FromUtf8(found->d_name);
    if (!name) continue;
    const std::optional<std::uint32_t> attributes = EntryAttributes(listingFd, *found);
    if (!attributes) continue;
    entries->push_back(DirectoryEntry{std::move(*name), *attributes});
  }
  std::sort(entries->begin(), entries->end(),
            [](const DirectoryEntry& left, const DirectoryEntry& right) { return ListsBefore(left.name, right.name); });
  return 0;
}

}  // namespace tessaly::offline
