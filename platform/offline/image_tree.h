// The Windows installation being repaired, as the run's paths name it:
// every path the engine builds ("\\?\" + Windows directory + "\winsxs\..."),
// resolved below the Windows directory one name at a time, ignoring letter
// case as Windows would, and never through a symbolic link.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "hive/name_case.h"
#include "platform/offline/image_files.h"

namespace tessaly::offline {

// Where the hives are, below the Windows directory.
inline const std::array<std::u16string, 2> kConfigDirectory = {u"System32", u"config"};

class ImageTree {
 public:
  // windowsDirectory: the Windows directory as the engine's paths start
  // with it; nullopt when the one given has no such form.
  ImageTree(ImageFiles& files, std::optional<std::u16string> windowsDirectory)
      : files_(files), windowsDirectoryText_(std::move(windowsDirectory)) {}
  ImageTree(const ImageTree&) = delete;
  ImageTree& operator=(const ImageTree&) = delete;

  ImageFiles& Files() { return files_; }

  // The Windows directory as the engine sees it; nullopt when it has no
  // UTF-16 form.
  const std::optional<std::u16string>& WindowsDirectory() const { return windowsDirectoryText_; }

  // Splits an engine path that lies below the Windows directory (with or
  // without "\\?\") into its names, replacing those in *components and
  // reusing their storage. Fails for any other path and for names that are
  // empty, "." or "..", or contain "/" or NUL, so nothing outside the
  // Windows directory can be named.
  bool SplitPath(std::u16string_view path, std::vector<std::u16string>* components) const;

  // Opens the directory named by components below the Windows directory.
  FileStatus OpenDirectory(std::span<const std::u16string> components, UniqueDirectory* directory);

  // Like OpenDirectory, but the handle stays owned by the tree and is valid
  // only until the next call on it. *start: how a listing of it starts,
  // JustOpened when no earlier call handed it out.
  FileStatus ResolveDirectory(std::span<const std::u16string> components, DirectoryHandle* directory,
                              ListingStart* start = nullptr);

  // Takes directory, opened by these very names, as ResolveDirectory would
  // open it; it is closed instead unless its parent is resolved already.
  void Adopt(std::span<const std::u16string> components, UniqueDirectory directory);

  // The name the entry `name` in directory is opened by: the name itself
  // when it exists, otherwise the first entry in listing order that equals
  // it ignoring case. NotFound when there is none.
  FileStatus FindEntry(DirectoryHandle directory, std::u16string_view name, std::u16string* found);

  // Opens the regular file named by components for reading.
  FileStatus OpenFile(std::span<const std::u16string> components, FileAccess access, UniqueImageFile* file);

  // How messages name what components name: the Windows directory as
  // given, then each name as found as OpenFile finds it. From the first
  // name that cannot be found on, the names stay as given.
  std::u16string DisplayPath(std::span<const std::u16string> components);

 private:
  // The names in a directory, found by any name equal to them ignoring case.
  using NamesOnDisk = std::unordered_set<std::u16string, hive::NameHash, hive::NameEqual>;

  ImageFiles& files_;
  std::optional<std::u16string> windowsDirectoryText_;
  // Per directory, read once, on the first lookup that needed it. The image
  // does not change under the tool, apart from the hive file it writes itself.
  std::map<FileIdentity, NamesOnDisk> namesOnDisk_;

  // The directories of the latest resolution, from the Windows directory
  // down, each held open. The walk goes depth first, so the next path nearly
  // always shares all but its last name with the one before.
  struct ResolvedDirectory {
    std::u16string requestedName;
    UniqueDirectory directory;
  };
  UniqueDirectory root_{files_};
  std::optional<FileStatus> rootStatus_;
  std::vector<ResolvedDirectory> resolved_;
  // Deeper directories are resolved afresh each time, to bound the open handles.
  static constexpr std::size_t kMaxResolvedDepth = 32;
  UniqueDirectory beyondResolved_{files_};

  FileStatus Root(DirectoryHandle* root);
  FileStatus OpenChild(DirectoryHandle parent, std::u16string_view name, UniqueDirectory* child);
};

}  // namespace tessaly::offline
