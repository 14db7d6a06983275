#include "hive/hive.h"

#include <algorithm>
#include <cerrno>

#include "hive/base_block.h"
#include "hive/hive_bins.h"
#include "hive/hive_tree.h"
#include "hive/little_endian.h"
#include "hive/name_case.h"

namespace tessaly::hive {
std::optional<CellOffset> Hive::CheckedRoot(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kBaseBlockSize) return std::nullopt;
  const std::span<const std::uint8_t> bins = bytes.subspan(kBaseBlockSize);
  if (ReadLittleEndian32(bytes, kHiveBinsSizeOffset) != bins.size() || !HiveBinsAreValid(bins)) return std::nullopt;
  const CellOffset root = ReadLittleEndian32(bytes, kRootCellOffset);
  if (!KeyTreeIsValid(HiveCells(bytes), bins.size(), root)) return std::nullopt;
  return root;
}

std::optional<Hive> Hive::Open(HiveImage image, std::uint32_t saveSequence) {
  const std::optional<CellOffset> root = CheckedRoot(image);
  if (!root) return std::nullopt;
  const std::span<std::uint8_t> bytes(image);
  return Hive(std::move(image), bytes, *root, saveSequence);
}

std::optional<Hive> Hive::Open(std::span<std::uint8_t> bytes, std::uint32_t saveSequence) {
  const std::optional<CellOffset> root = CheckedRoot(bytes);
  if (!root) return std::nullopt;
  return Hive(HiveImage(), bytes, *root, saveSequence);
}

namespace {

// Keys with this many items or fewer, nearly every component key, are
// searched in order: cheaper than hashing each name, and just as bounded.
constexpr std::size_t kSearchedInOrder = 16;

}  // namespace

void Hive::NameIndex::IndexItems() {
  slots.clear();
  if (items.size() <= kSearchedInOrder) return;
  // At most half the slots are taken, and NameHash is keyed anew each run,
  // so a search ends after a few even on names a hive made to collide.
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
  if (slots.empty()) {
    const auto found = std::find_if(items.begin(), items.end(), [name](const NamedItem& item) {
      return SameName(item.name, name);
    });
    return found == items.end() ? nullptr : &*found;
  }
  const std::size_t mask = slots.size() - 1;
  for (std::size_t slot = NameHash{}(name) & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
    const NamedItem& item = items[slots[slot] - 1];
    if (SameName(item.name, name)) return &item;
  }
  return nullptr;
}

const Hive::NameIndex& Hive::SubkeyIndex(CellOffset key) {
  const auto [position, added] = subkeys_.try_emplace(key);
  NameIndex& index = position->second;
  if (!added) return index;
  const HiveCells cells = Cells();
  KeyNode node;
  if (cells.ReadKeyNode(key, &node) && cells.ReadSubkeyList(node, &cellScratch_)) {
    index.items.reserve(cellScratch_.size());
    for (const CellOffset subkey : cellScratch_) {
      // Open checked every key reachable from the root, so this read holds.
      KeyNode child;
      if (!cells.ReadKeyNode(subkey, &child)) continue;
      NamedItem& item = index.items.emplace_back();
      DecodeName(child.name, child.compressedName, &item.name);
      item.cell = subkey;
    }
  }
  index.IndexItems();
  return index;
}

const Hive::NameIndex& Hive::ValueIndex(CellOffset key) {
  if (valuesKey_ == key) return values_;
  valuesKey_.reset();
  const HiveCells cells = Cells();
  std::size_t count = 0;
  KeyNode node;
  if (cells.ReadKeyNode(key, &node) && cells.ReadValueList(node, &cellScratch_)) {
    for (const CellOffset value : cellScratch_) {
      ValueNode valueNode;
      if (!cells.ReadValueNode(value, &valueNode)) continue;
      // Items past the count are storage left from an earlier key, reused.
      if (count == values_.items.size()) values_.items.emplace_back();
      NamedItem& item = values_.items[count++];
      DecodeName(valueNode.name, valueNode.compressedName, &item.name);
      item.cell = value;
    }
  }
  values_.items.resize(count);
  values_.IndexItems();
  valuesKey_ = key;
  return values_;
}

const std::vector<NamedItem>& Hive::Subkeys(CellOffset key) { return SubkeyIndex(key).items; }

std::optional<CellOffset> Hive::FindSubkey(CellOffset key, std::u16string_view name) {
  const NamedItem* const found = SubkeyIndex(key).Find(name);
  if (found == nullptr) return std::nullopt;
  return found->cell;
}

const std::vector<NamedItem>& Hive::Values(CellOffset key) { return ValueIndex(key).items; }

const NamedItem* Hive::FindValue(CellOffset key, std::u16string_view name) { return ValueIndex(key).Find(name); }

int Hive::ReadValueTypeAndSize(CellOffset value, std::uint32_t* type, std::uint32_t* size) const {
  ValueNode node;
  if (!Cells().ReadValueNode(value, &node)) return EINVAL;
  *type = node.type;
  *size = node.dataSize;
  return 0;
}

int Hive::ReadValue(CellOffset value, std::uint32_t* type, std::vector<std::uint8_t>* data) {
  const HiveCells cells = Cells();
  ValueNode node;
  if (!cells.ReadValueNode(value, &node) || !cells.ReadValueData(node, data)) return EINVAL;
  *type = node.type;
  return 0;
}

int Hive::SetDword(CellOffset value, std::uint32_t data) {
  const HiveCells cells = Cells();
  ValueNode node;
  if (!cells.ReadValueNode(value, &node)) return EINVAL;
  const std::size_t position = cells.DwordDataPosition(node);
  if (position == 0) return EINVAL;
  WriteLittleEndian32(bytes_, position, data);
  if (changedPages_.empty()) changedPages_.resize((bytes_.size() + kHivePageSize - 1) / kHivePageSize);
  changedPages_[position / kHivePageSize] = true;
  return 0;
}

std::array<std::uint8_t, kBaseBlockSize> Hive::SavedBaseBlock() const {
  std::array<std::uint8_t, kBaseBlockSize> baseBlock;
  std::copy_n(bytes_.begin(), kBaseBlockSize, baseBlock.begin());
  SealBaseBlock(baseBlock, saveSequence_);
  return baseBlock;
}

}  // namespace tessaly::hive
