#include "hive_edit.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "hive/base_block.h"
#include "hive/little_endian.h"

namespace tessaly::offline_test {
namespace {

using hive::kBaseBlockSize;
using hive::ReadLittleEndian32;
using hive::WriteLittleEndian32;

constexpr std::size_t kBinHeaderSize = 32;
constexpr std::size_t kPageSize = 4096;

std::size_t RoundUp(std::size_t size, std::size_t alignment) { return (size + alignment - 1) / alignment * alignment; }

std::string Decoded(const std::span<const std::uint8_t> stored, bool compressed) {
  std::u16string name;
  hive::DecodeName(stored, compressed, &name);
  return std::string(name.begin(), name.end());
}

}  // namespace

HiveEdit::HiveEdit(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (bytes_.size() < kBaseBlockSize) throw std::runtime_error("not a hive: " + file.string());
}

const std::vector<std::uint8_t>& HiveEdit::Sealed() {
  hive::SealBaseBlock(bytes_, ReadLittleEndian32(bytes_, hive::kPrimarySequenceOffset));
  return bytes_;
}

void HiveEdit::WriteTo(const std::filesystem::path& file) {
  const std::vector<std::uint8_t>& sealed = Sealed();
  std::filesystem::remove(file);
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(sealed.data()), static_cast<std::streamsize>(sealed.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

CellOffset HiveEdit::Key(std::string_view path) const {
  const hive::HiveCells cells = Cells();
  CellOffset key = ReadLittleEndian32(bytes_, hive::kRootCellOffset);
  std::vector<CellOffset> subkeys;
  while (!path.empty()) {
    const std::size_t separator = path.find('\\');
    const std::string_view name = path.substr(0, separator);
    path = separator == std::string_view::npos ? std::string_view() : path.substr(separator + 1);
    hive::KeyNode node;
    if (!cells.ReadKeyNode(key, &node) || !cells.ReadSubkeyList(node, &subkeys)) throw std::runtime_error("bad key");
    bool found = false;
    for (const CellOffset subkey : subkeys) {
      hive::KeyNode child;
      if (cells.ReadKeyNode(subkey, &child) && Decoded(child.name, child.compressedName) == name) {
        key = subkey;
        found = true;
        break;
      }
    }
    if (!found) throw std::runtime_error("no key " + std::string(name));
  }
  return key;
}

CellOffset HiveEdit::Value(CellOffset key, std::string_view name) const {
  const hive::HiveCells cells = Cells();
  hive::KeyNode node;
  std::vector<CellOffset> values;
  if (!cells.ReadKeyNode(key, &node) || !cells.ReadValueList(node, &values)) throw std::runtime_error("bad key");
  for (const CellOffset value : values) {
    hive::ValueNode valueNode;
    if (cells.ReadValueNode(value, &valueNode) && Decoded(valueNode.name, valueNode.compressedName) == name) {
      return value;
    }
  }
  throw std::runtime_error("no value " + std::string(name));
}

std::uint32_t HiveEdit::Field(CellOffset cell, std::size_t at) const {
  return ReadLittleEndian32(bytes_, hive::HiveCells::ImagePosition(cell) + at);
}

void HiveEdit::SetField(CellOffset cell, std::size_t at, std::uint32_t value) {
  WriteLittleEndian32(bytes_, hive::HiveCells::ImagePosition(cell) + at, value);
}

void HiveEdit::SetCellSize(CellOffset cell, std::uint32_t size) { SetBinField(cell, size); }

std::uint32_t HiveEdit::BinField(std::size_t at) const { return ReadLittleEndian32(bytes_, kBaseBlockSize + at); }

void HiveEdit::SetBinBytes(std::size_t at, std::string_view bytes) {
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(kBaseBlockSize + at));
}

void HiveEdit::SetBinField(std::size_t at, std::uint32_t value) {
  WriteLittleEndian32(bytes_, kBaseBlockSize + at, value);
}

CellOffset HiveEdit::AppendCell(const std::vector<std::uint8_t>& data) {
  const std::size_t binStart = bytes_.size() - kBaseBlockSize;
  const std::size_t cellSize = RoundUp(4 + data.size(), 8);
  const std::size_t binSize = RoundUp(kBinHeaderSize + cellSize, kPageSize);
  bytes_.resize(bytes_.size() + binSize);
  SetBinBytes(binStart, "hbin");
  SetBinField(binStart + 4, static_cast<std::uint32_t>(binStart));
  SetBinField(binStart + 8, static_cast<std::uint32_t>(binSize));
  const auto cell = static_cast<CellOffset>(binStart + kBinHeaderSize);
  SetCellSize(cell, static_cast<std::uint32_t>(-static_cast<std::int64_t>(cellSize)));
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(kBaseBlockSize + cell + 4));
  // The rest of the bin is one free cell.
  if (kBinHeaderSize + cellSize < binSize) {
    const std::size_t rest = binSize - kBinHeaderSize - cellSize;
    SetCellSize(static_cast<CellOffset>(cell + cellSize), static_cast<std::uint32_t>(rest));
  }
  WriteLittleEndian32(bytes_, hive::kHiveBinsSizeOffset, static_cast<std::uint32_t>(binStart + binSize));
  return cell;
}

std::vector<std::uint8_t> ListCell(std::string_view signature, std::uint16_t count, CellOffset entry) {
  std::vector<std::uint8_t> cell(4 + std::size_t{count} * 4);
  WriteLittleEndian32(cell, 0,
                      static_cast<std::uint32_t>(signature[0]) | static_cast<std::uint32_t>(signature[1]) << 8 |
                          static_cast<std::uint32_t>(count) << 16);
  for (std::size_t i = 0; i < count; ++i) WriteLittleEndian32(cell, 4 + i * 4, entry);
  return cell;
}

}  // namespace tessaly::offline_test
