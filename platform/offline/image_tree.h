// The Windows installation being repaired, seen from Linux: every path the
// engine builds ("\\?\" + Windows directory + "\winsxs\..."), resolved
// below the Windows directory one component at a time, ignoring letter case
// as Windows would, and never through a symbolic link.
#pragma once

#include <sys/types.h>

#include <array>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "hive/name_case.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::offline {

// Where the hives are, below the Windows directory.
inline const std::array<std::string, 2> kConfigDirectory = {"System32", "config"};

// Opens the regular file `name` in directory for reading, never through a
// link, and without blocking on a FIFO. Returns 0 or an errno (EINVAL for
// something other than a regular file).
int OpenRegularFile(int directory, const std::string& name, UniqueFd* file);

class ImageTree {
 public:
  // windowsDirectory: the Linux path of the image's Windows directory, as
  // given by the user (the one place where a symbolic link is followed).
  explicit ImageTree(std::string_view windowsDirectory);

  // The Windows directory as the engine sees it, without trailing slashes;
  // nullopt when the path is not UTF-8.
  const std::optional<std::u16string>& WindowsDirectory() const { return windowsDirectoryText_; }

  // Splits an engine path that lies below the Windows directory (with or
  // without "\\?\") into the UTF-8 names of its components, replacing those
  // in *components and reusing their storage. Fails for any other path and
  // for components that are empty, "." or "..", or contain "/" or NUL, so
  // nothing outside the Windows directory can be named.
  bool SplitPath(std::u16string_view path, std::vector<std::string>* components) const;

  // Opens the directory named by components below the Windows directory.
  // Returns 0 or an errno (ELOOP or ENOTDIR where a component is a link).
  int OpenDirectory(std::span<const std::string> components, UniqueFd* directory);

  // Like OpenDirectory, but the descriptor stays owned by the tree and is
  // valid only until the next call on it.
  int ResolveDirectory(std::span<const std::string> components, int* directory);

  // The on-disk name of the entry `name` in directory: the name itself when
  // it exists, otherwise the first entry in listing order that equals it
  // ignoring case. Returns 0 or an errno (ENOENT when there is none).
  int FindEntry(int directory, const std::string& name, std::string* found);

  // Opens the regular file named by components for reading. Returns 0 or an
  // errno (EINVAL for something other than a regular file).
  int OpenFile(std::span<const std::string> components, UniqueFd* file);

  // The Linux path of what components name: the Windows directory as given
  // (without trailing slashes), then each name as it is on the disk, found
  // as OpenFile finds it. From the first name that cannot be found on, the
  // names stay as given.
  std::string PathOnDisk(std::span<const std::string> components);

 private:
  // The names in a directory, found by any name equal to them ignoring case.
  using NamesOnDisk = std::unordered_set<std::u16string, NameHash, NameEqual>;

  std::string windowsDirectory_;
  std::optional<std::u16string> windowsDirectoryText_;
  UniqueFd root_;
  int rootError_ = 0;
  // Per directory (device, inode), read once, on the first lookup that
  // needed it. The image does not change under the tool, apart from the
  // hive file it writes itself.
  std::map<std::pair<dev_t, ino_t>, NamesOnDisk> namesOnDisk_;

  // The directories of the latest resolution, from the Windows directory
  // down, each held open. The walk goes depth first, so the next path nearly
  // always shares all but its last component with the one before.
  struct ResolvedDirectory {
    std::string requestedName;
    UniqueFd directory;
  };
  std::vector<ResolvedDirectory> resolved_;
  // Deeper directories are resolved afresh each time, to bound the open descriptors.
  static constexpr std::size_t kMaxResolvedDepth = 32;
  UniqueFd beyondResolved_;
};

}  // namespace tessaly::offline
