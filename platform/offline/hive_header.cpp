#include "platform/offline/hive_header.h"

namespace tessaly::offline {
namespace {

constexpr std::size_t kPrimarySequenceOffset = 0x04;
constexpr std::size_t kSecondarySequenceOffset = 0x08;
constexpr std::size_t kChecksumOffset = 0x1FC;

std::uint32_t ReadLittleEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// XOR of the 127 double words before the checksum field; 0 and 0xFFFFFFFF are
// stored as 1 and 0xFFFFFFFE.
std::uint32_t BaseBlockChecksum(std::span<const std::uint8_t> block) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < kChecksumOffset; offset += 4) sum ^= ReadLittleEndian32(block, offset);
  if (sum == 0) return 1;
  if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
  return sum;
}

}  // namespace

HiveHeaderState CheckHiveHeader(std::span<const std::uint8_t> start) {
  if (start.size() < kHiveBaseBlockSize) return HiveHeaderState::NotAHive;
  if (start[0] != 'r' || start[1] != 'e' || start[2] != 'g' || start[3] != 'f') return HiveHeaderState::NotAHive;
  if (ReadLittleEndian32(start, kChecksumOffset) != BaseBlockChecksum(start)) return HiveHeaderState::NotAHive;
  if (ReadLittleEndian32(start, kPrimarySequenceOffset) != ReadLittleEndian32(start, kSecondarySequenceOffset)) {
    return HiveHeaderState::UnreplayedLog;
  }
  return HiveHeaderState::Clean;
}

}  // namespace tessaly::offline
