#include "hive/base_block.h"

#include "hive/little_endian.h"

namespace tessaly::hive {

std::uint32_t BaseBlockChecksum(std::span<const std::uint8_t> block) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < kChecksumOffset; offset += 4) sum ^= ReadLittleEndian32(block, offset);
  if (sum == 0) return 1;
  if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
  return sum;
}

void SealBaseBlock(std::span<std::uint8_t> block, std::uint32_t sequence) {
  WriteLittleEndian32(block, kPrimarySequenceOffset, sequence);
  WriteLittleEndian32(block, kSecondarySequenceOffset, sequence);
  WriteLittleEndian32(block, kChecksumOffset, BaseBlockChecksum(block));
}

BaseBlockState CheckBaseBlock(std::span<const std::uint8_t> start) {
  if (start.size() < kBaseBlockSize) return BaseBlockState::NotAHive;
  if (start[0] != 'r' || start[1] != 'e' || start[2] != 'g' || start[3] != 'f') return BaseBlockState::NotAHive;
  if (ReadLittleEndian32(start, kChecksumOffset) != BaseBlockChecksum(start)) return BaseBlockState::ChecksumMismatch;
  if (ReadLittleEndian32(start, kPrimarySequenceOffset) != ReadLittleEndian32(start, kSecondarySequenceOffset)) {
    return BaseBlockState::Dirty;
  }
  return BaseBlockState::Clean;
}

}  // namespace tessaly::hive
