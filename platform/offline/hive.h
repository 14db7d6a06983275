// An open registry hive file, read and changed through hivex, with the name
// lookups of the Windows registry: key and value names compared ignoring
// case over all of Unicode (hivex itself folds ASCII only).
#pragma once

#include <hivex.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessaly::offline {

// A subkey or value of a node. Items whose names hivex cannot give as UTF-8
// are left out.
struct NamedItem {
  std::u16string name;
  std::string utf8Name;
  std::size_t handle;  // hive_node_h or hive_value_h
};

class Hive {
 public:
  // Opens the hive in the file open at fd; the file itself is read, through
  // /proc/self/fd, so no other file can take its place under the same name.
  // Returns nullptr with an errno in *error when hivex refuses it.
  static std::unique_ptr<Hive> Open(int fd, bool writable, int* error);

  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive();

  bool Writable() const { return writable_; }
  hive_node_h Root() const;

  // Subkeys in the order the hive keeps them.
  const std::vector<NamedItem>& Subkeys(hive_node_h node);
  // 0 when the node has no such subkey.
  hive_node_h FindSubkey(hive_node_h node, std::u16string_view name);

  // Values in the order the hive keeps them.
  const std::vector<NamedItem>& Values(hive_node_h node);
  // nullptr when the node has no such value.
  const NamedItem* FindValue(hive_node_h node, std::u16string_view name);
  // Returns 0 or an errno.
  int ReadValue(hive_value_h value, std::uint32_t* type, std::vector<std::uint8_t>* data);

  // Sets one value of the node in memory, keeping its other values and the
  // stored spelling of an existing name. Returns 0 or an errno.
  int SetValue(hive_node_h node, std::u16string_view name, std::uint32_t type, const std::uint8_t* data,
               std::uint32_t size);

  // Writes the whole hive, as changed, into the file open at fd. Returns 0 or an errno.
  int WriteTo(int fd);

 private:
  struct NameIndex {
    std::vector<NamedItem> items;
    std::unordered_map<std::u16string, std::size_t> positionByUpcasedName;
  };

  Hive(hive_h* handle, bool writable) : handle_(handle), writable_(writable) {}
  static NameIndex BuildIndex(std::vector<NamedItem> items);
  const NameIndex& SubkeyIndex(hive_node_h node);
  const NameIndex& ValueIndex(hive_node_h node);

  hive_h* handle_;
  bool writable_;
  // Filled on first use per node. A node's value handles change when one of
  // its values is set, so SetValue drops that node's value index.
  std::map<hive_node_h, NameIndex> subkeys_;
  std::map<hive_node_h, NameIndex> values_;
};

}  // namespace tessaly::offline
