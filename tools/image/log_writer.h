// Writes the transaction logs (LOG1, LOG2) Windows 8.1 and later keep beside
// a hive, and dirty hives with their logs, for tests and benchmarks of the
// recovery of a hive from its logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace tessaly::image {

struct LogPage {
  std::uint32_t offset;  // from the start of the hive bins
  std::vector<std::uint8_t> bytes;
};

// A fault written into an entry, for tests of the entries recovery must not
// apply. Everything else stays consistent (the hashes cover the faulty
// fields), so only the named fault shows.
enum class LogEntryFault {
  None,
  BadSignature,
  SizeBelow512,
  SizeNotMultipleOf512,
  BadHash1,
  BadHash2,
};

struct LogEntry {
  std::uint32_t sequence;
  std::uint32_t hiveBinsSize;
  std::uint32_t flags;
  std::vector<LogPage> pages;  // written as given; none gives a page count of 0
  LogEntryFault fault = LogEntryFault::None;
};

struct LogContents {
  std::uint32_t sequence;  // of the log's base block
  std::vector<LogEntry> entries;
};

// A new-format log as Windows writes it: the first 512 bytes of baseBlock,
// with file type 6, both sequence numbers log.sequence and the checksum of
// its first 508 bytes; then the entries back to back, each padded with zeros
// to a multiple of 512 and carrying both Marvin32 hashes.
std::vector<std::uint8_t> WriteLog(std::span<const std::uint8_t> baseBlock, const LogContents& log);

struct DirtyHiveShape {
  std::size_t log1Entries = 1;
  std::size_t log2Entries = 1;
  // Pages each entry logs; the first page of the hive bins is always among
  // them, so later entries overwrite what earlier ones logged.
  std::size_t pagesPerEntry = 1;
  // The primary lacks the last pages of the hive bins: the first entry
  // grows the hive and brings them as one run.
  std::size_t primaryMissingPages = 0;
  // The primary holds garbage pages after the hive bins: the entries shrink
  // the hive and drop them.
  std::size_t primaryExtraPages = 0;
  // The primary file holds the last pages of the hive bins, written before
  // its base block, which still counts without them: the first entry grows
  // the hive over them and logs none of them.
  std::size_t primaryAheadPages = 0;
};

// A hive as Windows leaves it when it stops before bringing the primary file
// up to date, for example on power loss.
struct DirtyHive {
  std::vector<std::uint8_t> primary;
  LogContents log1;
  LogContents log2;
};

// Turns a clean hive (its whole file) into a primary and the entries of its
// two logs; replaying them all gives back exactly `cleanHive`.
// - Entries are numbered on to the clean hive's sequence number: with one
//   entry per log and the clean hive at 3, LOG1 starts at 2 and LOG2 at 3,
//   and the primary's sequence numbers are 3 and 2, as on Windows 10. In
//   general the primary's are (first entry's + 1, first entry's).
// - Each page an entry logs is garbage in the primary and, when a later
//   entry logs it again, garbage in the earlier entry too, so only replaying
//   every entry in order rebuilds the hive.
// - The primary's flag bit 0 is the opposite of the clean hive's; every
//   entry carries the clean hive's flags.
// Throws std::invalid_argument for a cleanHive that is not a clean hive
// whose size matches its hive bins size, for no entries or no pages per
// entry, for missing pages that leave no page in the primary, or for both
// missing and extra pages.
DirtyHive MakeDirtyHive(std::span<const std::uint8_t> cleanHive, const DirtyHiveShape& shape);

// Rewrites the clean hive file `hive` as the primary of MakeDirtyHive and
// writes its logs beside it, named as Windows names them (COMPONENTS.LOG1
// and COMPONENTS.LOG2 for COMPONENTS). The numbering follows the file's own
// sequence number, so more entries than it counts wrap past 0xFFFFFFFF.
// Returns false on I/O failure.
bool MakeHiveFileDirty(const std::filesystem::path& hive, const DirtyHiveShape& shape);

}  // namespace tessaly::image
