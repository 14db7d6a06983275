// A hive file's bytes edited into shapes Windows never writes, damaged or
// crafted: cells found by key path, their fields overwritten, new cells
// added at the end in bins of their own, and the base block sealed again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "hive/hive_cells.h"

namespace tessaly::offline_test {

using hive::CellOffset;

// Fields of a key node and of a value node, from the start of the cell's
// data (after its size field).
inline constexpr std::size_t kKeySubkeyCount = 20;
inline constexpr std::size_t kKeySubkeyList = 28;
inline constexpr std::size_t kKeyValueCount = 36;
inline constexpr std::size_t kKeyValueList = 40;
inline constexpr std::size_t kValueDataSize = 4;
inline constexpr std::size_t kValueData = 8;

class HiveEdit {
 public:
  explicit HiveEdit(const std::filesystem::path& file);

  // The whole file, the base block sealed for the bins as they are now.
  const std::vector<std::uint8_t>& Sealed();
  void WriteTo(const std::filesystem::path& file);

  // The key at path below the root, names separated by "\" ("" for the root).
  CellOffset Key(std::string_view path) const;
  CellOffset Value(CellOffset key, std::string_view name) const;

  // A cell's field at `at` from the start of its data.
  std::uint32_t Field(CellOffset cell, std::size_t at) const;
  void SetField(CellOffset cell, std::size_t at, std::uint32_t value);
  // Bytes from the start of the hive bins, headers included.
  std::uint32_t BinField(std::size_t at) const;
  void SetBinBytes(std::size_t at, std::string_view bytes);
  void SetBinField(std::size_t at, std::uint32_t value);

  // Adds an allocated cell holding `data`, in a bin of its own at the end.
  CellOffset AppendCell(const std::vector<std::uint8_t>& data);

 private:
  hive::HiveCells Cells() const { return hive::HiveCells(bytes_); }
  void SetCellSize(CellOffset cell, std::uint32_t size);

  std::vector<std::uint8_t> bytes_;
};

// An "li" leaf or an "ri" root of `count` entries, every one naming `entry`.
std::vector<std::uint8_t> ListCell(std::string_view signature, std::uint16_t count, CellOffset entry);

}  // namespace tessaly::offline_test
