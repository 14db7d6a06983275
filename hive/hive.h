// An open registry hive, read straight from its cells, with the name lookups
// of the Windows registry: key and value names compared ignoring case over
// all of Unicode. The only change it makes is rewriting the 4 data bytes of
// an existing REG_DWORD value, in memory; SavedBaseBlock and Bins give the
// hive file that results, byte for byte the original but for those bytes
// and a base block sealed anew. Bytes in, bytes out: no file is touched.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hive/base_block.h"
#include "hive/hive_cells.h"
#include "hive/hive_image.h"

namespace tessaly::hive {

// A subkey or value of a key, by its cell.
struct NamedItem {
  std::u16string name;
  CellOffset cell = 0;
};

class Hive {
 public:
  // Fails (nullopt) when the bins do not span exactly the base block's
  // hive-bins size or are not laid out as Windows' loader requires, or a
  // key reached from the root has a malformed subkey or value list, as
  // Windows' loader checks them. saveSequence: the
  // sequence number the base block gets when the hive is written.
  static std::optional<Hive> Open(HiveImage image, std::uint32_t saveSequence);
  // The same over bytes the caller keeps, such as a private mapping of the
  // hive file: SetDword changes them in place. They must outlive the Hive.
  static std::optional<Hive> Open(std::span<std::uint8_t> bytes, std::uint32_t saveSequence);

  Hive(Hive&&) = default;
  Hive& operator=(Hive&&) = default;

  CellOffset Root() const { return root_; }

  // Subkeys in the order the hive keeps them.
  const std::vector<NamedItem>& Subkeys(CellOffset key);
  // nullopt when the key has no such subkey.
  std::optional<CellOffset> FindSubkey(CellOffset key, std::u16string_view name);

  // Values in the order the hive keeps them. The values of one key are
  // held at a time: what Values and FindValue return stays valid until they
  // are asked about another key.
  const std::vector<NamedItem>& Values(CellOffset key);
  // nullptr when the key has no such value.
  const NamedItem* FindValue(CellOffset key, std::u16string_view name);
  // The type and data size the value's node declares, without reading the
  // data. Returns 0 or an errno.
  int ReadValueTypeAndSize(CellOffset value, std::uint32_t* type, std::uint32_t* size) const;
  // Replaces *data with the value's bytes. Returns 0 or an errno.
  int ReadValue(CellOffset value, std::uint32_t* type, std::vector<std::uint8_t>* data);

  // Rewrites the data of an existing REG_DWORD value in place. Returns 0, or
  // EINVAL when the value is not a 4-byte REG_DWORD kept inline in its node.
  int SetDword(CellOffset value, std::uint32_t data);
  bool Changed() const { return !changedPages_.empty(); }
  // One flag per page of the hive file (kHivePageSize bytes, the base block
  // first), set where SetDword rewrote data; empty before the first change.
  const std::vector<bool>& ChangedPages() const { return changedPages_; }

  // The hive file as changed, in two parts: the base block sealed anew under
  // the save sequence number, then the hive bins as they are in memory.
  std::array<std::uint8_t, kBaseBlockSize> SavedBaseBlock() const;
  std::span<const std::uint8_t> Bins() const { return bytes_.subspan(kBaseBlockSize); }

 private:
  // The items of a key, found by name ignoring case; of names equal but for
  // case, the first in the hive's order is found. Rebuilt in place, so
  // indexing key after key allocates nothing once the storage has grown.
  struct NameIndex {
    std::vector<NamedItem> items;
    // Open addressing: each slot holds a position in items plus one, or 0;
    // no slots for a few items, which are searched in order.
    std::vector<std::uint32_t> slots;

    void IndexItems();
    const NamedItem* Find(std::u16string_view name) const;
  };

  Hive(HiveImage image, std::span<std::uint8_t> bytes, CellOffset root, std::uint32_t saveSequence)
      : image_(std::move(image)), bytes_(bytes), root_(root), saveSequence_(saveSequence) {}
  // The root cell when bytes hold a hive Windows' loader would load.
  static std::optional<CellOffset> CheckedRoot(std::span<const std::uint8_t> bytes);
  HiveCells Cells() const { return HiveCells(bytes_); }
  const NameIndex& SubkeyIndex(CellOffset key);
  const NameIndex& ValueIndex(CellOffset key);

  // The whole hive, base block first, held in memory so that changes stay
  // there until the hive is saved: in image_, or in bytes the caller keeps.
  // A vector's move keeps its storage, so bytes_ stays valid when the Hive moves.
  HiveImage image_;
  std::span<std::uint8_t> bytes_;
  CellOffset root_;
  std::uint32_t saveSequence_;
  std::vector<bool> changedPages_;
  // Filled on first use per key; keys are walked through few keys.
  std::map<CellOffset, NameIndex> subkeys_;
  // The values of valuesKey_: the component store is read one key at a
  // time, over tens of thousands of keys, so only the latest is kept, and
  // its storage is reused for the next.
  std::optional<CellOffset> valuesKey_;
  NameIndex values_;
  std::vector<CellOffset> cellScratch_;
};

}  // namespace tessaly::hive
