// An open registry hive file, read and changed through hivex, with the name
// lookups of the Windows registry: key and value names compared ignoring
// case over all of Unicode (hivex itself folds ASCII only).
#pragma once

#include <hivex.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::offline {

// A subkey or value of a node. Items whose names hivex cannot give as UTF-8
// are left out.
struct NamedItem {
  std::u16string name;
  std::size_t handle = 0;  // hive_node_h or hive_value_h
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

  // Values in the order the hive keeps them. The values of one node are
  // held at a time: what Values and FindValue return stays valid until
  // they are asked about another node or a value is set.
  const std::vector<NamedItem>& Values(hive_node_h node);
  // nullptr when the node has no such value.
  const NamedItem* FindValue(hive_node_h node, std::u16string_view name);
  // Replaces *data with the value's bytes. Returns 0 or an errno.
  int ReadValue(hive_value_h value, std::uint32_t* type, std::vector<std::uint8_t>* data);

  // Sets one value of the node in memory, keeping its other values and the
  // stored spelling of an existing name. Returns 0 or an errno.
  int SetValue(hive_node_h node, std::u16string_view name, std::uint32_t type, const std::uint8_t* data,
               std::uint32_t size);

  // Writes the whole hive, as changed, into the file open at fd. Returns 0 or an errno.
  int WriteTo(int fd);

 private:
  // The items of a node, found by name ignoring case; of names equal but
  // for case, the first in the hive's order is found. Rebuilt in place, so
  // indexing key after key allocates nothing once the storage has grown.
  struct NameIndex {
    std::vector<NamedItem> items;
    // Open addressing: each slot holds a position in items plus one, or 0.
    std::vector<std::uint32_t> slots;

    // Indexes items as they now are.
    void IndexItems();
    const NamedItem* Find(std::u16string_view name) const;
  };

  Hive(hive_h* handle, bool writable) : handle_(handle), writable_(writable) {}
  const NameIndex& SubkeyIndex(hive_node_h node);
  const NameIndex& ValueIndex(hive_node_h node);

  hive_h* handle_;
  bool writable_;
  // Filled on first use per node; keys are walked through few nodes.
  std::map<hive_node_h, NameIndex> subkeys_;
  // The values of valuesNode_: the component store is read one key at a
  // time, over tens of thousands of keys, so only the latest is kept, and
  // its storage is reused for the next. A node's value handles change when
  // one of its values is set, so SetValue forgets them.
  std::optional<hive_node_h> valuesNode_;
  NameIndex values_;
};

}  // namespace tessaly::offline
