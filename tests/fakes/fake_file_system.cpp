#include "fakes/fake_file_system.h"

#include <algorithm>

namespace tessaly::fakes {
namespace {

// The names of a path; a trailing backslash adds no empty name.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  if (path.ends_with(u'\\')) path.remove_suffix(1);
  while (true) {
    const std::size_t separator = path.find(u'\\');
    names.push_back(path.substr(0, separator));
    if (separator == std::u16string_view::npos) break;
    path.remove_prefix(separator + 1);
  }
  return names;
}

}  // namespace

FakeFileSystem::FakeFileSystem(EventLog& events) : events_(events) {
  nodes_.push_back({u"", kFileAttributeDirectory, {}, {}});
}

FakeFileSystem::NodeId FakeFileSystem::Child(NodeId parent, std::u16string_view name, std::uint32_t attributes) {
  for (const NodeId child : nodes_[parent].children) {
    if (nodes_[child].name == name) return child;
  }
  nodes_.push_back({std::u16string(name), attributes, {}, {}});
  nodes_[parent].children.push_back(nodes_.size() - 1);
  return nodes_.size() - 1;
}

FakeFileSystem::NodeId FakeFileSystem::AddDirectory(std::u16string_view path, std::uint32_t attributes) {
  NodeId node = 0;
  for (const std::u16string_view name : SplitPath(path)) node = Child(node, name, kFileAttributeDirectory);
  nodes_[node].attributes = attributes;
  return node;
}

FakeFileSystem::NodeId FakeFileSystem::AddChildDirectory(NodeId parent, std::u16string name) {
  return Child(parent, name, kFileAttributeDirectory);
}

FakeFileSystem::NodeId FakeFileSystem::AddFile(std::u16string_view path, std::string_view content,
                                               std::uint32_t attributes) {
  const std::vector<std::u16string_view> names = SplitPath(path);
  NodeId node = 0;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) node = Child(node, names[i], kFileAttributeDirectory);
  node = Child(node, names.back(), attributes);
  nodes_[node].attributes = attributes;
  nodes_[node].content = content;
  return node;
}

FakeFileSystem::NodeId FakeFileSystem::Resolve(std::u16string_view path) const {
  NodeId node = 0;
  for (const std::u16string_view name : SplitPath(path)) {
    const auto& children = nodes_[node].children;
    const auto found =
        std::find_if(children.begin(), children.end(), [&](NodeId child) { return nodes_[child].name == name; });
    if (found == children.end()) return kNone;
    node = *found;
  }
  return node;
}

bool FakeFileSystem::Fetch(Search& search, DirectoryEntry* entry) const {
  const std::size_t position = search.next++;
  if (position < 2) {
    *entry = {position == 0 ? u"." : u"..", kFileAttributeDirectory};
    return true;
  }
  const auto& children = nodes_[search.directory].children;
  if (position - 2 >= children.size()) return false;
  const Node& child = nodes_[children[position - 2]];
  *entry = {child.name, child.attributes};
  return true;
}

SearchHandle FakeFileSystem::FindFirst(const char16_t* pattern, DirectoryEntry* entry) {
  const std::u16string_view text = pattern;
  listedDirectories.emplace_back(text);
  events_.Add("find first " + Utf8(text));
  if (!files_.empty()) ++fetchesWithFileOpen;
  if (!text.ends_with(u"\\*")) return SearchHandle::Invalid;
  const std::u16string_view directoryPath = text.substr(0, text.size() - 1);
  const NodeId directory = Resolve(directoryPath);
  if (directory == kNone || !IsDirectory(directory)) return SearchHandle::Invalid;

  Search search{directory, 0, Utf8(directoryPath)};
  Fetch(search, entry);
  const auto handle = static_cast<SearchHandle>(nextHandle_++);
  searches_.emplace(handle, std::move(search));
  mostSearchesOpenAtOnce = std::max(mostSearchesOpenAtOnce, searches_.size());
  return handle;
}

bool FakeFileSystem::FindNext(SearchHandle handle, DirectoryEntry* entry) {
  const auto search = searches_.find(handle);
  if (search == searches_.end()) {
    ++badHandleUses;
    return false;
  }
  if (!files_.empty()) ++fetchesWithFileOpen;
  return Fetch(search->second, entry);
}

void FakeFileSystem::FindClose(SearchHandle handle) {
  const auto search = searches_.find(handle);
  if (search == searches_.end()) {
    ++badHandleUses;
    return;
  }
  events_.Add("find close " + search->second.path);
  searches_.erase(search);
}

FileHandle FakeFileSystem::OpenForRead(const char16_t* path) {
  openedFiles.emplace_back(path);
  events_.Add("open file " + Utf8(path));
  const NodeId node = Resolve(path);
  if (node == kNone || IsDirectory(node) || unopenable_.contains(path)) return FileHandle::Invalid;
  const auto handle = static_cast<FileHandle>(nextHandle_++);
  files_[handle] = {node, 0, Utf8(path)};
  return handle;
}

bool FakeFileSystem::Read(FileHandle handle, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  const auto file = files_.find(handle);
  if (file == files_.end()) {
    ++badHandleUses;
    return false;
  }
  const std::string& content = nodes_[file->second.node].content;
  const std::size_t count = std::min<std::size_t>(size, content.size() - file->second.position);
  std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(file->second.position), count, buffer);
  file->second.position += count;
  *bytesRead = static_cast<std::uint32_t>(count);
  return true;
}

void FakeFileSystem::Close(FileHandle handle) {
  const auto file = files_.find(handle);
  if (file == files_.end()) {
    ++badHandleUses;
    return;
  }
  events_.Add("close file " + file->second.path);
  files_.erase(file);
}

std::u16string FakeFileSystem::DisplayPath(const std::u16string& path) {
  const auto display = displayPaths.find(path);
  return display == displayPaths.end() ? path : display->second;
}

}  // namespace tessaly::fakes
