#include "platform/offline/hive.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/offline/name_case.h"
#include "platform/offline/utf_conversion.h"

namespace tessaly::offline {
namespace {

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Builds the item for a name hivex returned (malloc'd, possibly null).
bool MakeItem(char* rawName, std::size_t length, std::size_t handle, std::vector<NamedItem>* items) {
  const MallocPtr<char> owned(rawName);
  if (!owned) return false;
  std::string utf8Name(owned.get(), length);
  std::optional<std::u16string> name = Utf16FromUtf8(utf8Name);
  if (!name) return false;
  items->push_back(NamedItem{std::move(*name), std::move(utf8Name), handle});
  return true;
}

}  // namespace

std::unique_ptr<Hive> Hive::Open(int fd, bool writable, int* error) {
  hive_h* const handle = hivex_open(DescriptorPath(fd).c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (handle == nullptr) {
    *error = errno != 0 ? errno : EINVAL;
    return nullptr;
  }
  return std::unique_ptr<Hive>(new Hive(handle, writable));
}

Hive::~Hive() { hivex_close(handle_); }

hive_node_h Hive::Root() const { return hivex_root(handle_); }

Hive::NameIndex Hive::BuildIndex(std::vector<NamedItem> items) {
  NameIndex index;
  index.items = std::move(items);
  for (std::size_t i = 0; i < index.items.size(); ++i) {
    index.positionByUpcasedName.emplace(UpcasedName(index.items[i].name), i);
  }
  return index;
}

const Hive::NameIndex& Hive::SubkeyIndex(hive_node_h node) {
  auto found = subkeys_.find(node);
  if (found != subkeys_.end()) return found->second;
  std::vector<NamedItem> items;
  // A node whose subkey list cannot be read is treated as having none.
  if (const MallocPtr<hive_node_h> children(hivex_node_children(handle_, node)); children) {
    for (const hive_node_h* child = children.get(); *child != 0; ++child) {
      MakeItem(hivex_node_name(handle_, *child), hivex_node_name_len(handle_, *child), *child, &items);
    }
  }
  return subkeys_.emplace(node, BuildIndex(std::move(items))).first->second;
}

const Hive::NameIndex& Hive::ValueIndex(hive_node_h node) {
  auto found = values_.find(node);
  if (found != values_.end()) return found->second;
  std::vector<NamedItem> items;
  if (const MallocPtr<hive_value_h> values(hivex_node_values(handle_, node)); values) {
    for (const hive_value_h* value = values.get(); *value != 0; ++value) {
      MakeItem(hivex_value_key(handle_, *value), hivex_value_key_len(handle_, *value), *value, &items);
    }
  }
  return values_.emplace(node, BuildIndex(std::move(items))).first->second;
}

const std::vector<NamedItem>& Hive::Subkeys(hive_node_h node) { return SubkeyIndex(node).items; }

hive_node_h Hive::FindSubkey(hive_node_h node, std::u16string_view name) {
  const NameIndex& index = SubkeyIndex(node);
  const auto found = index.positionByUpcasedName.find(UpcasedName(name));
  return found == index.positionByUpcasedName.end() ? 0 : index.items[found->second].handle;
}

const std::vector<NamedItem>& Hive::Values(hive_node_h node) { return ValueIndex(node).items; }

const NamedItem* Hive::FindValue(hive_node_h node, std::u16string_view name) {
  const NameIndex& index = ValueIndex(node);
  const auto found = index.positionByUpcasedName.find(UpcasedName(name));
  return found == index.positionByUpcasedName.end() ? nullptr : &index.items[found->second];
}

int Hive::ReadValue(hive_value_h value, std::uint32_t* type, std::vector<std::uint8_t>* data) {
  hive_type rawType{};
  std::size_t length = 0;
  errno = 0;
  const MallocPtr<char> bytes(hivex_value_value(handle_, value, &rawType, &length));
  if (!bytes) return errno != 0 ? errno : EINVAL;
  *type = static_cast<std::uint32_t>(rawType);
  data->assign(bytes.get(), bytes.get() + length);
  return 0;
}

int Hive::SetValue(hive_node_h node, std::u16string_view name, std::uint32_t type, const std::uint8_t* data,
                   std::uint32_t size) {
  if (!writable_) return EROFS;
  // hivex matches names in ASCII case only, and would store the caller's
  // spelling; an existing value keeps its own.
  std::string key;
  if (const NamedItem* existing = FindValue(node, name); existing != nullptr) {
    key = existing->utf8Name;
  } else if (std::optional<std::string> converted = Utf8FromUtf16(name); converted) {
    key = std::move(*converted);
  } else {
    return EILSEQ;
  }
  std::vector<char> bytes(data, data + size);
  const hive_set_value value{key.data(), static_cast<hive_type>(type), bytes.size(), bytes.data()};
  errno = 0;
  const int result = hivex_node_set_value(handle_, node, &value, 0);
  values_.erase(node);
  if (result != 0) return errno != 0 ? errno : EIO;
  return 0;
}

int Hive::WriteTo(int fd) {
  errno = 0;
  if (hivex_commit(handle_, DescriptorPath(fd).c_str(), 0) != 0) return errno != 0 ? errno : EIO;
  return 0;
}

}  // namespace tessaly::offline
