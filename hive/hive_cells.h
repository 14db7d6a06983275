// The cells in a hive's bins, read as Windows lays them out: key nodes
// ("nk"), subkey lists ("lf", "lh", "li" and "ri" roots over them), value
// lists, values ("vk") and their data, inline, in one cell, or as big data
// ("db") in segments. The bytes come from the image: every offset, size and
// count is checked before it is followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessaly::hive {

// A cell's position, relative to the start of the first hive bin.
using CellOffset = std::uint32_t;

struct KeyNode {
  std::span<const std::uint8_t> name;
  bool compressedName = false;  // one byte per character, else UTF-16LE
  std::uint32_t subkeyCount = 0;
  CellOffset subkeyList = 0;
  std::uint32_t valueCount = 0;
  CellOffset valueList = 0;
};

struct ValueNode {
  std::span<const std::uint8_t> name;
  bool compressedName = false;
  std::uint32_t type = 0;
  std::uint32_t dataSize = 0;  // without the inline flag
  bool inlineData = false;     // the data sits in the node's own offset field
  CellOffset dataOffset = 0;   // when not inline
  // Where the node's offset field lies in the image.
  std::size_t offsetFieldPosition = 0;
};

class HiveCells {
 public:
  // image: the whole hive, base block first.
  explicit HiveCells(std::span<const std::uint8_t> image) : image_(image) {}

  // The data of the allocated cell at offset, after its size field; empty
  // when the offset lies outside the bins or is misaligned, or the cell is
  // free or runs past the bins.
  std::span<const std::uint8_t> Cell(CellOffset offset) const;
  // Where the data of the cell at offset begins in the image.
  static std::size_t ImagePosition(CellOffset offset);

  bool ReadKeyNode(CellOffset offset, KeyNode* key) const;
  // Replaces *subkeys with the key nodes the list names, in list order.
  // False when the list is malformed: a list cell that is not "lf", "lh",
  // "li", or an "ri" over those, or entries that do not add up to the key's
  // subkey count. Never takes more entries than that count.
  bool ReadSubkeyList(const KeyNode& key, std::vector<CellOffset>* subkeys) const;
  bool ReadValueList(const KeyNode& key, std::vector<CellOffset>* values) const;
  bool ReadValueNode(CellOffset offset, ValueNode* value) const;
  // Replaces *data with the value's bytes; false when they cannot be read.
  bool ReadValueData(const ValueNode& value, std::vector<std::uint8_t>* data) const;
  // Where the 4 data bytes of a REG_DWORD value lie in the image, so they can
  // be rewritten in place; 0 when the value is not a 4-byte REG_DWORD kept
  // inline in its node.
  std::size_t DwordDataPosition(const ValueNode& value) const;

 private:
  bool AppendLeaf(std::span<const std::uint8_t> leaf, std::uint32_t subkeyCount,
                  std::vector<CellOffset>* subkeys) const;

  std::span<const std::uint8_t> image_;
};

// Replaces *out with a name as a node stores it.
void DecodeName(std::span<const std::uint8_t> stored, bool compressed, std::u16string* out);

}  // namespace tessaly::hive
