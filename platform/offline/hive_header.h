// The base block at the start of a registry hive file, checked before the
// hive is handed to hivex. The bytes come from the image and are not trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly::offline {

inline constexpr std::size_t kHiveBaseBlockSize = 4096;

enum class HiveHeaderState {
  Clean,
  // Too short, no "regf" signature, or a base block checksum that does not match.
  NotAHive,
  // The primary and secondary sequence numbers differ: Windows stopped in the
  // middle of a write and the transaction log still has to be replayed into
  // the file, which this tool cannot do.
  UnreplayedLog,
};

// start: the first bytes of the file, any number of them.
HiveHeaderState CheckHiveHeader(std::span<const std::uint8_t> start);

}  // namespace tessaly::offline
