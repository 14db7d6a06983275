#include "hive/hive_cells.h"

#include <algorithm>
#include <climits>

#include "hive/base_block.h"
#include "hive/little_endian.h"

namespace tessaly::hive {
namespace {

constexpr std::size_t kCellSizeField = 4;
constexpr std::size_t kCellAlignment = 8;

constexpr std::size_t kKeyNodeNameOffset = 76;
// A key node's cell: its size field and the node up to the name.
constexpr std::size_t kSmallestKeyCell = kCellSizeField + kKeyNodeNameOffset;
constexpr std::uint16_t kKeyCompressedName = 0x0020;
constexpr std::size_t kValueNodeNameOffset = 20;
constexpr std::uint16_t kValueCompressedName = 0x0001;
constexpr std::uint32_t kDataInline = 0x80000000u;
constexpr std::size_t kListHeaderSize = 4;
// The largest data Windows keeps in one cell; longer data of hives from
// version 1.4 on is split into segments of this size.
constexpr std::uint32_t kMaxSegmentSize = 16344;
constexpr std::uint32_t kRegDword = 4;

bool HasSignature(std::span<const std::uint8_t> cell, const char (&signature)[3]) {
  return cell.size() >= 2 && cell[0] == signature[0] && cell[1] == signature[1];
}

}  // namespace

std::size_t HiveCells::ImagePosition(CellOffset offset) { return kBaseBlockSize + offset + kCellSizeField; }

std::span<const std::uint8_t> HiveCells::Cell(CellOffset offset) const {
  if (offset % kCellAlignment != 0 || image_.size() < kBaseBlockSize) return {};
  const std::span<const std::uint8_t> bins = image_.subspan(kBaseBlockSize);
  if (offset >= bins.size() || bins.size() - offset < kCellSizeField) return {};
  const auto size = static_cast<std::int32_t>(ReadLittleEndian32(bins, offset));
  // Allocated cells carry their size negated.
  if (size >= 0 || size == INT32_MIN) return {};
  const auto length = static_cast<std::size_t>(-static_cast<std::int64_t>(size));
  if (length < kCellSizeField || length > bins.size() - offset) return {};
  return bins.subspan(offset + kCellSizeField, length - kCellSizeField);
}

bool HiveCells::ReadKeyNode(CellOffset offset, KeyNode* key) const {
  const std::span<const std::uint8_t> cell = Cell(offset);
  if (cell.size() < kKeyNodeNameOffset || !HasSignature(cell, "nk")) return false;
  const std::size_t nameLength = ReadLittleEndian16(cell, 72);
  if (nameLength > cell.size() - kKeyNodeNameOffset) return false;
  key->name = cell.subspan(kKeyNodeNameOffset, nameLength);
  key->compressedName = (ReadLittleEndian16(cell, 2) & kKeyCompressedName) != 0;
  key->subkeyCount = ReadLittleEndian32(cell, 20);
  key->subkeyList = ReadLittleEndian32(cell, 28);
  key->valueCount = ReadLittleEndian32(cell, 36);
  key->valueList = ReadLittleEndian32(cell, 40);
  return true;
}

// An "lf" or "lh" leaf holds (offset, hint) pairs, an "li" leaf offsets alone.
// A leaf holding more than the key's count is refused before its entries
// are taken, so a crafted list cannot grow *subkeys past that count.
bool HiveCells::AppendLeaf(std::span<const std::uint8_t> leaf, std::uint32_t subkeyCount,
                           std::vector<CellOffset>* subkeys) const {
  const bool withHints = HasSignature(leaf, "lf") || HasSignature(leaf, "lh");
  if (!withHints && !HasSignature(leaf, "li")) return false;
  const std::size_t count = ReadLittleEndian16(leaf, 2);
  const std::size_t stride = withHints ? 8 : 4;
  if (count > (leaf.size() - kListHeaderSize) / stride || count > subkeyCount - subkeys->size()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    subkeys->push_back(ReadLittleEndian32(leaf, kListHeaderSize + i * stride));
  }
  return true;
}

bool HiveCells::ReadSubkeyList(const KeyNode& key, std::vector<CellOffset>* subkeys) const {
  subkeys->clear();
  if (key.subkeyCount == 0) return true;
  // Every subkey is a key node of its own.
  if (key.subkeyCount > image_.size() / kSmallestKeyCell) return false;
  const std::span<const std::uint8_t> list = Cell(key.subkeyList);
  if (list.size() < kListHeaderSize) return false;
  if (HasSignature(list, "ri")) {
    // A root lists leaves; Windows never nests roots.
    const std::size_t count = ReadLittleEndian16(list, 2);
    if (count > (list.size() - kListHeaderSize) / 4) return false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::span<const std::uint8_t> leaf = Cell(ReadLittleEndian32(list, kListHeaderSize + i * 4));
      if (leaf.size() < kListHeaderSize || !AppendLeaf(leaf, key.subkeyCount, subkeys)) return false;
    }
  } else if (!AppendLeaf(list, key.subkeyCount, subkeys)) {
    return false;
  }
  return subkeys->size() == key.subkeyCount;
}

bool HiveCells::ReadValueList(const KeyNode& key, std::vector<CellOffset>* values) const {
  values->clear();
  if (key.valueCount == 0) return true;
  const std::span<const std::uint8_t> list = Cell(key.valueList);
  if (key.valueCount > list.size() / 4) return false;
  values->reserve(key.valueCount);
  for (std::size_t i = 0; i < key.valueCount; ++i) values->push_back(ReadLittleEndian32(list, i * 4));
  return true;
}

bool HiveCells::ReadValueNode(CellOffset offset, ValueNode* value) const {
  const std::span<const std::uint8_t> cell = Cell(offset);
  if (cell.size() < kValueNodeNameOffset || !HasSignature(cell, "vk")) return false;
  const std::size_t nameLength = ReadLittleEndian16(cell, 2);
  if (nameLength > cell.size() - kValueNodeNameOffset) return false;
  value->name = cell.subspan(kValueNodeNameOffset, nameLength);
  value->compressedName = (ReadLittleEndian16(cell, 16) & kValueCompressedName) != 0;
  const std::uint32_t size = ReadLittleEndian32(cell, 4);
  value->inlineData = (size & kDataInline) != 0;
  value->dataSize = size & ~kDataInline;
  value->dataOffset = ReadLittleEndian32(cell, 8);
  value->type = ReadLittleEndian32(cell, 12);
  value->offsetFieldPosition = ImagePosition(offset) + 8;
  return !value->inlineData || value->dataSize <= 4;
}

bool HiveCells::ReadValueData(const ValueNode& value, std::vector<std::uint8_t>* data) const {
  data->clear();
  if (value.inlineData) {
    const std::span<const std::uint8_t> field = image_.subspan(value.offsetFieldPosition, 4);
    data->assign(field.begin(), field.begin() + value.dataSize);
    return true;
  }
  if (value.dataSize == 0) return true;
  const std::span<const std::uint8_t> cell = Cell(value.dataOffset);
  if (value.dataSize <= cell.size()) {
    data->assign(cell.begin(), cell.begin() + value.dataSize);
    return true;
  }
  // Big data: a segment count, then a cell listing the segments.
  if (value.dataSize <= kMaxSegmentSize || cell.size() < 8 || !HasSignature(cell, "db")) return false;
  const std::size_t segmentCount = ReadLittleEndian16(cell, 2);
  if (segmentCount != (value.dataSize + kMaxSegmentSize - 1) / kMaxSegmentSize) return false;
  const std::span<const std::uint8_t> segments = Cell(ReadLittleEndian32(cell, 4));
  if (segmentCount > segments.size() / 4) return false;
  // Each segment must be a cell of its own, large enough for its share, before
  // the declared size is reserved: a list naming one cell over and over, or
  // cells faked inside each other, would otherwise claim up to a gigabyte
  // from a hive of a few kilobytes. Cells that do not overlap hold no more
  // than the hive.
  std::vector<CellOffset> segmentCells(segmentCount);
  for (std::size_t i = 0; i < segmentCount; ++i) {
    segmentCells[i] = ReadLittleEndian32(segments, i * 4);
    const std::size_t wanted = std::min<std::size_t>(kMaxSegmentSize, value.dataSize - i * kMaxSegmentSize);
    if (Cell(segmentCells[i]).size() < wanted) return false;
  }
  std::vector<CellOffset> inOrder = segmentCells;
  std::sort(inOrder.begin(), inOrder.end());
  for (std::size_t i = 1; i < inOrder.size(); ++i) {
    if (inOrder[i] - inOrder[i - 1] < kCellSizeField + Cell(inOrder[i - 1]).size()) return false;
  }
  data->reserve(value.dataSize);
  for (const CellOffset segmentCell : segmentCells) {
    const std::span<const std::uint8_t> segment = Cell(segmentCell);
    const std::size_t wanted = std::min<std::size_t>(kMaxSegmentSize, value.dataSize - data->size());
    data->insert(data->end(), segment.begin(), segment.begin() + wanted);
  }
  return true;
}

std::size_t HiveCells::DwordDataPosition(const ValueNode& value) const {
  // Windows keeps 4 bytes or less in the node: data elsewhere is malformed,
  // and its offset could name any cell, the value's own node included.
  if (value.type != kRegDword || value.dataSize != 4 || !value.inlineData) return 0;
  return value.offsetFieldPosition;
}

void DecodeName(std::span<const std::uint8_t> stored, bool compressed, std::u16string* out) {
  if (compressed) {
    out->assign(stored.begin(), stored.end());
    return;
  }
  out->resize(stored.size() / 2);
  for (std::size_t i = 0; i < out->size(); ++i) (*out)[i] = static_cast<char16_t>(ReadLittleEndian16(stored, 2 * i));
}

}  // namespace tessaly::hive
