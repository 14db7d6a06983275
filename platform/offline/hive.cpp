#include "platform/offline/hive.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/offline/name_case.h"
#include "common/utf_conversion.h"

namespace tessaly::offline {
namespace {

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Appends the item for a name hivex returned (malloc'd, possibly null),
// reusing the storage of an earlier item beyond *count.
void AddItem(char* rawName, std::size_t length, std::size_t handle, std::vector<NamedItem>* items,
             std::size_t* count) {
  const MallocPtr<char> owned(rawName);
  if (!owned) return;
  if (*count == items->size()) items->emplace_back();
  NamedItem& item = (*items)[*count];
  if (!Utf16FromUtf8(std::string_view(owned.get(), length), &item.name)) return;
  item.handle = handle;
  ++*count;
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

void Hive::NameIndex::IndexItems() {
  // At most half the slots are taken, so a search ends after a few.
  std::size_t size = 8;
  while (size < 2 * items.size()) size *= 2;
  slots.assign(size, 0);
  const std::size_t mask = size - 1;
  for (std::size_t position = 0; position < items.size(); ++position) {
    const std::u16string& name = items[position].name;
    std::size_t slot = NameHash{}(name) & mask;
    while (slots[slot] != 0 && !SameName(items[slots[slot] - 1].name, name)) slot = (slot + 1) & mask;
    if (slots[slot] == 0) slots[slot] = static_cast<std::uint32_t>(position + 1);
  }
}

const NamedItem* Hive::NameIndex::Find(std::u16string_view name) const {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t slot = NameHash{}(name) & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
    const NamedItem& item = items[slots[slot] - 1];
    if (SameName(item.name, name)) return &item;
  }
  return nullptr;
}

const Hive::NameIndex& Hive::SubkeyIndex(hive_node_h node) {
  const auto [position, added] = subkeys_.try_emplace(node);
  NameIndex& index = position->second;
  if (!added) return index;
  std::size_t count = 0;
  // A node whose subkey list cannot be read is treated as having none.
  if (const MallocPtr<hive_node_h> children(hivex_node_children(handle_, node)); children) {
    for (const hive_node_h* child = children.get(); *child != 0; ++child) {
      AddItem(hivex_node_name(handle_, *child), hivex_node_name_len(handle_, *child), *child, &index.items, &count);
    }
  }
  index.items.resize(count);
  index.IndexItems();
  return index;
}

const Hive::NameIndex& Hive::ValueIndex(hive_node_h node) {
  if (valuesNode_ == node) return values_;
  valuesNode_.reset();
  std::size_t count = 0;
  if (const MallocPtr<hive_value_h> values(hivex_node_values(handle_, node)); values) {
    for (const hive_value_h* value = values.get(); *value != 0; ++value) {
      AddItem(hivex_value_key(handle_, *value), hivex_value_key_len(handle_, *value), *value, &values_.items, &count);
    }
  }
  values_.items.resize(count);
  values_.IndexItems();
  valuesNode_ = node;
  return values_;
}

const std::vector<NamedItem>& Hive::Subkeys(hive_node_h node) { return SubkeyIndex(node).items; }

hive_node_h Hive::FindSubkey(hive_node_h node, std::u16string_view name) {
  const NamedItem* const found = SubkeyIndex(node).Find(name);
  return found == nullptr ? 0 : found->handle;
}

const std::vector<NamedItem>& Hive::Values(hive_node_h node) { return ValueIndex(node).items; }

const NamedItem* Hive::FindValue(hive_node_h node, std::u16string_view name) { return ValueIndex(node).Find(name); }

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
    errno = 0;
    const MallocPtr<char> stored(hivex_value_key(handle_, existing->handle));
    if (!stored) return errno != 0 ? errno : EIO;
    key.assign(stored.get(), hivex_value_key_len(handle_, existing->handle));
  } else if (std::optional<std::string> converted = Utf8FromUtf16(name); converted) {
    key = std::move(*converted);
  } else {
    return EILSEQ;
  }
  std::vector<char> bytes(data, data + size);
  const hive_set_value value{key.data(), static_cast<hive_type>(type), bytes.size(), bytes.data()};
  errno = 0;
  const int result = hivex_node_set_value(handle_, node, &value, 0);
  valuesNode_.reset();
  if (result != 0) return errno != 0 ? errno : EIO;
  return 0;
}

int Hive::WriteTo(int fd) {
  errno = 0;
  if (hivex_commit(handle_, DescriptorPath(fd).c_str(), 0) != 0) return errno != 0 ? errno : EIO;
  return 0;
}

}  // namespace tessaly::offline
