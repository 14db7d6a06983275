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

std::uint32_t AttributesOf(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return kFileAttributeReparsePoint;
  if (S_ISDIR(status.st_mode)) return kFileAttributeDirectory;
  return kFileAttributeNormal;
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
    struct stat status {};
    // An entry removed since it was read is simply not listed.
    if (fstatat(listingFd, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries->push_back(DirectoryEntry{std::move(*name), AttributesOf(status)});
  }
  std::sort(entries->begin(), entries->end(),
            [](const DirectoryEntry& left, const DirectoryEntry& right) { return ListsBefore(left.name, right.name); });
  return 0;
}

}  // namespace tessaly::offline
