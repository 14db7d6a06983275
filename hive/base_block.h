// The 4096-byte base block at the start of a registry hive file, and the
// 512-byte copy of its start that heads a transaction log. The bytes come
// from the image and are not trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly::hive {

inline constexpr std::size_t kBaseBlockSize = 4096;
// Hive bins are laid out, and logged, in pages of this size.
inline constexpr std::size_t kHivePageSize = 4096;

inline constexpr std::size_t kPrimarySequenceOffset = 0x04;
inline constexpr std::size_t kSecondarySequenceOffset = 0x08;
inline constexpr std::size_t kFileTypeOffset = 0x1C;
inline constexpr std::size_t kRootCellOffset = 0x24;
inline constexpr std::size_t kHiveBinsSizeOffset = 0x28;
inline constexpr std::size_t kFlagsOffset = 0x90;
inline constexpr std::size_t kChecksumOffset = 0x1FC;

// File types: the primary hive file, and a transaction log in the format of
// Windows 8.1 and later. Older logs (types 1 and 2) are not read.
inline constexpr std::uint32_t kFileTypePrimary = 0;
inline constexpr std::uint32_t kFileTypeNewLog = 6;

// XOR of the 127 double words before the checksum field; 0 and 0xFFFFFFFF are
// stored as 1 and 0xFFFFFFFE. block: at least 512 bytes.
std::uint32_t BaseBlockChecksum(std::span<const std::uint8_t> block);

// Stores both sequence numbers and the checksum that goes with them.
void SealBaseBlock(std::span<std::uint8_t> block, std::uint32_t sequence);

enum class BaseBlockState {
  Clean,
  // Too short, or no "regf" signature.
  NotAHive,
  // A hive whose base block fails its checksum, as a write torn by a crash
  // leaves it: Windows takes the base block from the transaction log with
  // the latest entries instead.
  ChecksumMismatch,
  // The primary and secondary sequence numbers differ: Windows stopped
  // before bringing the file up to date, and the newest state is in its
  // transaction logs.
  Dirty,
};

// start: the first bytes of the file, any number of them.
BaseBlockState CheckBaseBlock(std::span<const std::uint8_t> start);

}  // namespace tessaly::hive
