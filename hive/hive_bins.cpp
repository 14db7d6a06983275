#include "hive/hive_bins.h"

#include <cstring>

#include "hive/base_block.h"
#include "hive/little_endian.h"

namespace tessaly::hive {
namespace {

constexpr std::size_t kBinOffsetField = 4;
constexpr std::size_t kBinSizeField = 8;
constexpr std::size_t kCellAlignment = 8;

// Cells of one bin, after its header: allocated ones carry their size
// negated, free ones as it is; either way it is the whole cell's length.
bool CellsTile(std::span<const std::uint8_t> bin) {
  for (std::size_t offset = kHiveBinHeaderSize; offset < bin.size();) {
    const auto stored = static_cast<std::int32_t>(ReadLittleEndian32(bin, offset));
    const std::int64_t length = stored < 0 ? -std::int64_t{stored} : std::int64_t{stored};
    if (length == 0 || length % kCellAlignment != 0 || static_cast<std::uint64_t>(length) > bin.size() - offset) {
      return false;
    }
    offset += static_cast<std::size_t>(length);
  }
  return true;
}

}  // namespace

bool HiveBinsAreValid(std::span<const std::uint8_t> bins, std::size_t from) {
  if (from > bins.size() || from % kHivePageSize != 0) return false;
  for (std::size_t offset = from; offset < bins.size();) {
    if (bins.size() - offset < kHiveBinHeaderSize || std::memcmp(bins.data() + offset, "hbin", 4) != 0) return false;
    if (ReadLittleEndian32(bins, offset + kBinOffsetField) != offset) return false;
    const std::uint32_t size = ReadLittleEndian32(bins, offset + kBinSizeField);
    if (size == 0 || size % kHivePageSize != 0 || size > bins.size() - offset) return false;
    if (!CellsTile(bins.subspan(offset, size))) return false;
    offset += size;
  }
  return true;
}

}  // namespace tessaly::hive
