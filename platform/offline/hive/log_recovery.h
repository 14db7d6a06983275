// Recovery of a dirty hive from its transaction logs (COMPONENTS.LOG1 and
// COMPONENTS.LOG2), by the rules Windows 8.1 and later follow at load time.
// Pure functions over bytes that come from the image: nothing here trusts an
// offset, size or count it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessaly::offline {

// A log in the new format: a 512-byte copy of the start of a base block,
// then entries back to back, each at a multiple of 512.
inline constexpr std::size_t kLogBaseBlockSize = 512;
inline constexpr std::size_t kLogEntryAlignment = 512;

// Layout of a log entry's header; the dirty page references follow it as
// (offset from the start of the hive bins, size) pairs, then the pages.
inline constexpr std::size_t kLogEntrySizeOffset = 4;
inline constexpr std::size_t kLogEntryFlagsOffset = 8;
inline constexpr std::size_t kLogEntrySequenceOffset = 12;
inline constexpr std::size_t kLogEntryHiveBinsSizeOffset = 16;
inline constexpr std::size_t kLogEntryPageCountOffset = 20;
inline constexpr std::size_t kLogEntryHash1Offset = 24;
inline constexpr std::size_t kLogEntryHash2Offset = 32;
inline constexpr std::size_t kLogEntryHeaderSize = 40;
inline constexpr std::size_t kLogEntryPageReferenceSize = 8;

// Sequence numbers wrap: a is lower than b when b is ahead of it by at most
// 0x7FFFFFFF, counting past 0xFFFFFFFF.
bool SequenceIsLower(std::uint32_t a, std::uint32_t b);

struct LogRecovery {
  std::uint32_t entriesApplied = 0;
  std::uint32_t lastSequence = 0;  // sequence number of the last applied entry
};

// image: the primary hive file's bytes (its 4096-byte base block first, which
// CheckBaseBlock found Dirty), then its hive bins. log1/log2: the whole LOG1
// and LOG2 files, empty when missing.
//
// Applies the entries of the usable logs in Windows' order: the log with the
// lower sequence number first, if that number is not below the primary's
// secondary one, else the other log alone (under the same condition); then
// the other log when it starts right after the last applied entry. Each
// entry resizes the image to 4096 + its hive bins size and copies its pages
// in. Reading stops at the first entry that is torn, out of sequence or
// whose pages fall outside it or outside the hive bins; one that would grow
// the hive bins by more than the page bytes it carries counts as such too,
// so a forged size cannot make the image outgrow the logs.
//
// The recovered base block takes the last applied entry's hive bins size and
// flag bit 0, and both its sequence numbers become the last applied entry's,
// under a new checksum: the image reads as a clean hive in the state the
// logs end in. Whoever writes it back must still raise the sequence numbers
// above HighestLogSequence of both logs.
//
// Returns entriesApplied == 0, with the image unchanged, when no entry
// applies: the hive cannot be recovered and is refused.
LogRecovery RecoverFromLogs(std::vector<std::uint8_t>* image, std::span<const std::uint8_t> log1,
                            std::span<const std::uint8_t> log2);

// The highest sequence number, in SequenceIsLower's order, that the log
// carries in its base block and in any entry header with the "HvLE"
// signature, the stale ones after the last valid entry included; 0 for an
// empty or unusable log.
std::uint32_t HighestLogSequence(std::span<const std::uint8_t> log);

}  // namespace tessaly::offline
