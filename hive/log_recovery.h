// Recovery of a dirty hive from its transaction logs (COMPONENTS.LOG1 and
// COMPONENTS.LOG2), by the rules Windows 8.1 and later follow at load time.
// Pure functions over bytes that come from the image: nothing here trusts an
// offset, size or count it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hive/hive_image.h"

namespace tessaly::hive {

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

// Sequence numbers wrap, as Windows counts them: a is lower than b when b is
// ahead of it by 1 to 0x7FFFFFFF, counting past 0xFFFFFFFF. Numbers half the
// ring apart are neither.
bool SequenceIsLower(std::uint32_t a, std::uint32_t b);

// The sequence numbers present in a hive and its logs, gathered to find the
// one its saved base block gets: newer than every one of them, so that
// Windows never replays a logged entry over the saved hive.
class SequenceRange {
 public:
  void Add(std::uint32_t sequence);
  // One past the newest number added; nullopt when none was added, or when
  // they spread over half the ring or more, so that no number is newer than
  // all of them.
  std::optional<std::uint32_t> NextNewer() const;

 private:
  // The shortest arc of the ring, from oldest_ forward to newest_, holding
  // every number added; spread_ is set once no arc short enough does.
  std::optional<std::uint32_t> oldest_;
  std::uint32_t newest_ = 0;
  bool spread_ = false;
};

struct LogRecovery {
  std::uint32_t entriesApplied = 0;
  std::uint32_t lastSequence = 0;  // sequence number of the last applied entry
};

// image: the whole primary hive file, its 4096-byte base block first, which
// CheckBaseBlock found Dirty or ChecksumMismatch, then as many bytes as the file
// has: since Windows 8.1 the kernel may write a dirty hive's bins before
// its base block, so bins past the base block's hive bins size may be the
// ones a later entry grows the hive into. log1/log2: the whole LOG1 and LOG2
// files, empty when missing.
//
// Applies the entries of the usable logs in Windows' order: the log with the
// lower sequence number first, if that number is not below the primary's
// secondary one, else the other log alone (under the same condition); then
// the other log when it starts right after the last applied entry. A base
// block that fails its checksum is replaced by the 512 bytes heading the log
// with the newer sequence number, and that log alone is applied.
//
// Each entry sets the hive bins size and copies its pages in; bytes of the
// image past the previous size stay as they were. Reading stops at the first
// entry that is torn, out of sequence, whose hive bins size is not a whole
// number of pages (at least one), whose pages fall outside it or outside the
// hive bins, that would make the image larger than the primary and both logs
// together, or that grows the hive bins into a span that does not hold valid
// bins once its pages are in. The grown spans checked, all entries together,
// may not exceed twice that size.
//
// The recovered base block takes the last applied entry's hive bins size and
// flag bit 0, and both its sequence numbers become the last applied entry's,
// under a new checksum; the image is cut to that size. It reads as a clean
// hive in the state the logs end in.
//
// Returns entriesApplied == 0, with the image its old size, when no entry
// applies: the hive cannot be recovered and is refused.
LogRecovery RecoverFromLogs(HiveImage* image, std::span<const std::uint8_t> log1,
                            std::span<const std::uint8_t> log2);

// The same in the primary file's own bytes, such as a private mapping of it,
// which cannot grow: the recovered hive is their first *recoveredSize bytes.
// nullopt, with image untouched, when the logs grow the hive past them.
std::optional<LogRecovery> RecoverFromLogsInPlace(std::span<std::uint8_t> image, std::span<const std::uint8_t> log1,
                                                  std::span<const std::uint8_t> log2, std::size_t* recoveredSize);

// Adds every sequence number a usable log carries, in its base block and in
// any entry header with the "HvLE" signature, the stale ones after the last
// valid entry included. An unusable log carries none: Windows never reads it.
void AddLogSequences(std::span<const std::uint8_t> log, SequenceRange* range);

}  // namespace tessaly::hive
