#include "platform/offline/image_tree.h"

#include <algorithm>
#include <utility>

namespace tessaly::offline {
namespace {

constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";

bool IsAcceptableComponent(std::u16string_view name) {
  return !name.empty() && name != u"." && name != u".." && name.find(u'/') == std::u16string_view::npos &&
         name.find(u'\0') == std::u16string_view::npos;
}

}  // namespace

bool ImageTree::SplitPath(std::u16string_view path, std::vector<std::u16string>* components) const {
  if (!windowsDirectoryText_) return false;
  if (path.starts_with(kLongPathPrefix)) path.remove_prefix(kLongPathPrefix.size());
  if (!path.starts_with(*windowsDirectoryText_)) return false;
  path.remove_prefix(windowsDirectoryText_->size());

  std::size_t count = 0;
  while (!path.empty()) {
    if (path.front() != u'\\') return false;
    path.remove_prefix(1);
    const std::u16string_view name = path.substr(0, path.find(u'\\'));
    if (!IsAcceptableComponent(name)) return false;
    // Strings past the current count are storage left from an earlier path, reused.
    if (count == components->size()) components->emplace_back();
    (*components)[count].assign(name);
    ++count;
    path.remove_prefix(name.size());
  }
  components->resize(count);
  return true;
}

FileStatus ImageTree::Root(DirectoryHandle* root) {
  if (!rootStatus_) rootStatus_ = files_.OpenWindowsDirectory(root_.Put());
  *root = root_.Get();
  return *rootStatus_;
}

FileStatus ImageTree::OpenChild(DirectoryHandle parent, std::u16string_view name, UniqueDirectory* child) {
  FileStatus status = files_.OpenDirectory(parent, name, child->Put());
  if (status.problem != FileProblem::NotFound) return status;
  std::u16string found;
  if (status = FindEntry(parent, name, &found); !status.Ok()) return status;
  return files_.OpenDirectory(parent, found, child->Put());
}

FileStatus ImageTree::OpenDirectory(std::span<const std::u16string> components, UniqueDirectory* directory) {
  DirectoryHandle root = DirectoryHandle::Invalid;
  if (const FileStatus status = Root(&root); !status.Ok()) return status;
  UniqueDirectory current(files_);
  DirectoryHandle parent = root;
  // A handle of its own, which the caller keeps past the tree's next call.
  if (components.empty()) return files_.OpenWindowsDirectory(directory->Put());
  for (const std::u16string& component : components) {
    UniqueDirectory next(files_);
    if (const FileStatus status = OpenChild(parent, component, &next); !status.Ok()) return status;
    current = std::move(next);
    parent = current.Get();
  }
  *directory = std::move(current);
  return {};
}

FileStatus ImageTree::ResolveDirectory(std::span<const std::u16string> components, DirectoryHandle* directory,
                                       ListingStart* start) {
  DirectoryHandle root = DirectoryHandle::Invalid;
  if (const FileStatus status = Root(&root); !status.Ok()) return status;
  std::size_t shared = 0;
  while (shared < resolved_.size() && shared < components.size() &&
         resolved_[shared].requestedName == components[shared]) {
    ++shared;
  }
  resolved_.erase(resolved_.begin() + static_cast<std::ptrdiff_t>(shared), resolved_.end());
  beyondResolved_.Reset();

  DirectoryHandle current = resolved_.empty() ? root : resolved_.back().directory.Get();
  if (start != nullptr) *start = shared == components.size() ? ListingStart::Rewind : ListingStart::JustOpened;
  for (const std::u16string& component : components.subspan(shared)) {
    UniqueDirectory next(files_);
    if (const FileStatus status = OpenChild(current, component, &next); !status.Ok()) return status;
    current = next.Get();
    if (resolved_.size() < kMaxResolvedDepth && !beyondResolved_) {
      resolved_.push_back(ResolvedDirectory{component, std::move(next)});
    } else {
      beyondResolved_ = std::move(next);
    }
  }
  *directory = current;
  return {};
}

void ImageTree::Adopt(std::span<const std::u16string> components, UniqueDirectory directory) {
  if (components.empty() || components.size() > std::min(resolved_.size() + 1, kMaxResolvedDepth)) return;
  for (std::size_t level = 0; level + 1 < components.size(); ++level) {
    if (resolved_[level].requestedName != components[level]) return;
  }
  resolved_.erase(resolved_.begin() + static_cast<std::ptrdiff_t>(components.size() - 1), resolved_.end());
  beyondResolved_.Reset();
  resolved_.push_back(ResolvedDirectory{components.back(), std::move(directory)});
}

FileStatus ImageTree::FindEntry(DirectoryHandle directory, std::u16string_view name, std::u16string* found) {
  EntryFacts facts;
  const FileStatus exact = files_.LookUpEntry(directory, name, &facts);
  if (exact.Ok()) {
    found->assign(name);
    return exact;
  }
  if (exact.problem != FileProblem::NotFound) return exact;

  FileIdentity identity;
  if (!files_.IdentifyDirectory(directory, &identity).Ok()) return exact;
  auto cached = namesOnDisk_.find(identity);
  if (cached == namesOnDisk_.end()) {
    std::vector<DirectoryEntry> entries;
    if (const FileStatus listed = files_.ListDirectory(directory, ListingStart::Rewind, SIZE_MAX, &entries);
        !listed.Ok()) {
      return listed;
    }
    NamesOnDisk names;
    // Listing order decides between names that differ only in case.
    for (DirectoryEntry& entry : entries) names.insert(std::move(entry.name));
    cached = namesOnDisk_.emplace(identity, std::move(names)).first;
  }
  const auto match = cached->second.find(name);
  if (match == cached->second.end()) return exact;
  *found = *match;
  return {};
}

FileStatus ImageTree::OpenFile(std::span<const std::u16string> components, FileAccess access,
                               UniqueImageFile* file) {
  if (components.empty()) return {FileProblem::NotARegularFile, 0};
  DirectoryHandle directory = DirectoryHandle::Invalid;
  if (const FileStatus status = ResolveDirectory(components.first(components.size() - 1), &directory);
      !status.Ok()) {
    return status;
  }
  const FileStatus status = files_.OpenFile(directory, components.back(), access, file->Put());
  if (status.problem != FileProblem::NotFound) return status;
  std::u16string name;
  if (const FileStatus lookup = FindEntry(directory, components.back(), &name); !lookup.Ok()) return lookup;
  return files_.OpenFile(directory, name, access, file->Put());
}

std::u16string ImageTree::DisplayPath(std::span<const std::u16string> components) {
  std::vector<std::u16string> names(components.begin(), components.end());
  UniqueDirectory directory(files_);
  bool found = files_.OpenWindowsDirectory(directory.Put()).Ok();
  for (std::size_t i = 0; i < names.size() && found; ++i) {
    std::u16string name;
    found = FindEntry(directory.Get(), components[i], &name).Ok();
    if (!found) break;
    names[i] = std::move(name);
    // The next name is looked up in this directory, never through a link.
    if (i + 1 < names.size()) {
      UniqueDirectory next(files_);
      found = files_.OpenDirectory(directory.Get(), names[i], next.Put()).Ok();
      directory = std::move(next);
    }
  }
  return files_.DisplayPath(names);
}

}  // namespace tessaly::offline
