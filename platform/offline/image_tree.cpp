#include "platform/offline/image_tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/directory_listing.h"
#include "common/utf_conversion.h"

namespace tessaly::offline {
namespace {

constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";

bool IsAcceptableComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

}  // namespace

int OpenRegularFile(int directory, const std::string& name, UniqueFd* file) {
  UniqueFd opened(openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened) return errno;
  struct stat status {};
  if (fstat(opened.Get(), &status) != 0) return errno;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  *file = std::move(opened);
  return 0;
}

ImageTree::ImageTree(std::string_view windowsDirectory)
    : windowsDirectory_(WithoutTrailingSlashes(windowsDirectory)),
      windowsDirectoryText_(Utf16FromUtf8(windowsDirectory_)),
      root_(open(windowsDirectory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!root_) rootError_ = errno;
}

bool ImageTree::SplitPath(std::u16string_view path, std::vector<std::string>* components) const {
  if (!windowsDirectoryText_) return false;
  if (path.starts_with(kLongPathPrefix)) path.remove_prefix(kLongPathPrefix.size());
  if (!path.starts_with(*windowsDirectoryText_)) return false;
  path.remove_prefix(windowsDirectoryText_->size());

  std::size_t count = 0;
  while (!path.empty()) {
    if (path.front() != u'\\') return false;
    path.remove_prefix(1);
    const std::u16string_view name = path.substr(0, path.find(u'\\'));
    // Strings past the current count are storage left from an earlier path, reused.
    if (count == components->size()) components->emplace_back();
    std::string& component = (*components)[count];
    if (!Utf8FromUtf16(name, &component) || !IsAcceptableComponent(component)) return false;
    ++count;
    path.remove_prefix(name.size());
  }
  components->resize(count);
  return true;
}

int ImageTree::OpenDirectory(std::span<const std::string> components, UniqueFd* directory) {
  int resolved = -1;
  if (const int error = ResolveDirectory(components, &resolved); error != 0) return error;
  UniqueFd opened(openat(resolved, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened) return errno;
  *directory = std::move(opened);
  return 0;
}

int ImageTree::ResolveDirectory(std::span<const std::string> components, int* directory) {
  if (!root_) return rootError_;
  std::size_t shared = 0;
  while (shared < resolved_.size() && shared < components.size() &&
         resolved_[shared].requestedName == components[shared]) {
    ++shared;
  }
  resolved_.erase(resolved_.begin() + static_cast<std::ptrdiff_t>(shared), resolved_.end());
  beyondResolved_.Reset();

  int current = resolved_.empty() ? root_.Get() : resolved_.back().directory.Get();
  for (const std::string& component : components.subspan(shared)) {
    UniqueFd next(openat(current, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next && errno == ENOENT) {
      std::string name;
      if (const int error = FindEntry(current, component, &name); error != 0) return error;
      next = UniqueFd(openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next) return errno;
    current = next.Get();
    if (resolved_.size() < kMaxResolvedDepth && beyondResolved_.Get() < 0) {
      resolved_.push_back(ResolvedDirectory{component, std::move(next)});
    } else {
      beyondResolved_ = std::move(next);
    }
  }
  *directory = current;
  return 0;
}

int ImageTree::FindEntry(int directory, const std::string& name, std::string* found) {
  struct stat status {};
  if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    *found = name;
    return 0;
  }
  if (errno != ENOENT) return errno;

  const std::optional<std::u16string> wanted = Utf16FromUtf8(name);
  if (!wanted || fstat(directory, &status) != 0) return ENOENT;
  const auto identity = std::make_pair(status.st_dev, status.st_ino);
  auto cached = namesOnDisk_.find(identity);
  if (cached == namesOnDisk_.end()) {
    std::vector<DirectoryEntry> entries;
    if (const int error = ListDirectory(directory, &entries); error != 0) return error;
    NamesOnDisk names;
    // Listing order decides between names that differ only in case.
    for (DirectoryEntry& entry : entries) names.insert(std::move(entry.name));
    cached = namesOnDisk_.emplace(identity, std::move(names)).first;
  }
  const auto match = cached->second.find(std::u16string_view(*wanted));
  if (match == cached->second.end()) return ENOENT;
  // Listed names were decoded from UTF-8, so they convert back unchanged.
  *found = Utf8FromUtf16(*match).value();
  return 0;
}

int ImageTree::OpenFile(std::span<const std::string> components, UniqueFd* file) {
  if (components.empty()) return EINVAL;
  int directory = -1;
  if (const int error = ResolveDirectory(components.first(components.size() - 1), &directory); error != 0) {
    return error;
  }
  const int error = OpenRegularFile(directory, components.back(), file);
  if (error != ENOENT) return error;
  std::string name;
  if (const int lookup = FindEntry(directory, components.back(), &name); lookup != 0) return lookup;
  return OpenRegularFile(directory, name, file);
}

std::string ImageTree::PathOnDisk(std::span<const std::string> components) {
  std::string path = windowsDirectory_;
  UniqueFd directory(root_ ? openat(root_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string name = components[i];
    if (directory && FindEntry(directory.Get(), components[i], &name) != 0) directory.Reset();
    if (!path.ends_with('/')) path += '/';
    path += name;
    // The next name is looked up in this directory, never through a link.
    if (directory && i + 1 < components.size()) {
      directory = UniqueFd(openat(directory.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
  }
  return path;
}

}  // namespace tessaly::offline
