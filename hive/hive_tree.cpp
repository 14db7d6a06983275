#include "hive/hive_tree.h"

#include <cstdint>
#include <vector>

namespace tessaly::hive {
namespace {

constexpr std::size_t kCellAlignment = 8;

// One bit per place a cell can start. A hive is a tree: each key and each
// value is listed once. Marking every listed cell refuses a cycle, or a key
// or value list reached from two places, at the second sighting, which
// keeps the walk to one visit per cell; checking parent fields alone would
// let one list name the same key many times.
class ListedCells {
 public:
  explicit ListedCells(std::size_t binsSize) : bits_((binsSize / kCellAlignment + 63) / 64) {}

  // False when the offset cannot start a cell or was listed before.
  bool MarkFirst(CellOffset offset) {
    if (offset % kCellAlignment != 0 || offset / kCellAlignment / 64 >= bits_.size()) return false;
    const std::size_t index = offset / kCellAlignment;
    std::uint64_t& word = bits_[index / 64];
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
  }

 private:
  std::vector<std::uint64_t> bits_;
};

}  // namespace

bool KeyTreeIsValid(const HiveCells& cells, std::size_t binsSize, CellOffset root) {
  ListedCells listed(binsSize);
  if (!listed.MarkFirst(root)) return false;
  // Keys still to check: explicit, so a deep tree cannot exhaust the stack.
  std::vector<CellOffset> pending = {root};
  std::vector<CellOffset> entries;
  KeyNode key;
  ValueNode value;
  while (!pending.empty()) {
    const CellOffset offset = pending.back();
    pending.pop_back();
    if (!cells.ReadKeyNode(offset, &key) || !cells.ReadSubkeyList(key, &entries)) return false;
    for (const CellOffset subkey : entries) {
      if (!listed.MarkFirst(subkey)) return false;
      pending.push_back(subkey);
    }
    if (!cells.ReadValueList(key, &entries)) return false;
    for (const CellOffset valueOffset : entries) {
      if (!listed.MarkFirst(valueOffset) || !cells.ReadValueNode(valueOffset, &value)) return false;
    }
  }
  return true;
}

}  // namespace tessaly::hive
