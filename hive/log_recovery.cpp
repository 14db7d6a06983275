#include "hive/log_recovery.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "hive/base_block.h"
#include "hive/hive_bins.h"
#include "hive/little_endian.h"
#include "hive/marvin32.h"

namespace tessaly::hive {
namespace {

bool HasTag(std::span<const std::uint8_t> bytes, std::size_t offset, const char (&tag)[5]) {
  return bytes.size() >= offset + 4 && std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

struct Log {
  std::span<const std::uint8_t> bytes;
  std::uint32_t sequence;
};

// A log Windows would read: the new format, under an intact base block whose
// two sequence numbers agree.
std::optional<Log> UsableLog(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kLogBaseBlockSize || !HasTag(bytes, 0, "regf")) return std::nullopt;
  if (ReadLittleEndian32(bytes, kChecksumOffset) != BaseBlockChecksum(bytes)) return std::nullopt;
  if (ReadLittleEndian32(bytes, kFileTypeOffset) != kFileTypeNewLog) return std::nullopt;
  const std::uint32_t sequence = ReadLittleEndian32(bytes, kPrimarySequenceOffset);
  if (ReadLittleEndian32(bytes, kSecondarySequenceOffset) != sequence) return std::nullopt;
  return Log{bytes, sequence};
}

// An entry of plausible size at `offset`: at least 512, a multiple of 512,
// and within the file. Returns its size, 0 when it is not.
std::size_t EntrySize(std::span<const std::uint8_t> log, std::size_t offset) {
  const std::uint32_t size = ReadLittleEndian32(log, offset + kLogEntrySizeOffset);
  if (size < kLogEntryAlignment || size % kLogEntryAlignment != 0 || size > log.size() - offset) return 0;
  return size;
}

struct Entry {
  std::span<const std::uint8_t> bytes;
  std::uint32_t sequence;
  std::uint32_t hiveBinsSize;
  std::uint32_t flags;
  std::uint32_t pageCount;
};

// The entry at `offset` when its header, page references and hashes are
// sound and its image would be no larger than `largestImage`, else nothing.
std::optional<Entry> ReadEntry(std::span<const std::uint8_t> log, std::size_t offset, std::uint32_t expectedSequence,
                               std::uint64_t largestImage) {
  if (offset + kLogEntryHeaderSize > log.size() || !HasTag(log, offset, "HvLE")) return std::nullopt;
  const std::size_t size = EntrySize(log, offset);
  if (size == 0) return std::nullopt;
  const auto bytes = log.subspan(offset, size);
  const Entry entry{
      bytes, ReadLittleEndian32(bytes, kLogEntrySequenceOffset), ReadLittleEndian32(bytes, kLogEntryHiveBinsSizeOffset),
      ReadLittleEndian32(bytes, kLogEntryFlagsOffset), ReadLittleEndian32(bytes, kLogEntryPageCountOffset)};
  if (entry.sequence != expectedSequence) return std::nullopt;
  if (entry.hiveBinsSize < kHivePageSize || entry.hiveBinsSize % kHivePageSize != 0 || entry.pageCount == 0) {
    return std::nullopt;
  }
  if (kBaseBlockSize + std::uint64_t{entry.hiveBinsSize} > largestImage) return std::nullopt;

  const std::uint64_t pagesStart = kLogEntryHeaderSize + std::uint64_t{entry.pageCount} * kLogEntryPageReferenceSize;
  // The references and the pages so far must fit in the entry; checked from
  // the first reference on, this also keeps the next reference read inside it.
  std::uint64_t pageBytes = 0;
  for (std::uint32_t i = 0; i < entry.pageCount; ++i) {
    const std::size_t reference = kLogEntryHeaderSize + std::size_t{i} * kLogEntryPageReferenceSize;
    const std::uint64_t pageOffset = ReadLittleEndian32(bytes, reference);
    const std::uint64_t pageSize = ReadLittleEndian32(bytes, reference + 4);
    pageBytes += pageSize;
    if (pagesStart + pageBytes > size || pageOffset + pageSize > entry.hiveBinsSize) return std::nullopt;
  }

  // The hashes last: they cost a pass over the whole entry.
  if (Marvin32(bytes.subspan(kLogEntryHeaderSize), kLogEntryHashSeed) !=
      ReadLittleEndian64(bytes, kLogEntryHash1Offset)) {
    return std::nullopt;
  }
  if (Marvin32(bytes.first(kLogEntryHash2Offset), kLogEntryHashSeed) !=
      ReadLittleEndian64(bytes, kLogEntryHash2Offset)) {
    return std::nullopt;
  }
  return entry;
}

// Every entry of `log` whose header and hashes are sound, in order, after
// those already in `plan`; the first must carry the log's own sequence number.
void PlanLog(const Log& log, std::uint64_t largestImage, std::vector<Entry>* plan, std::uint64_t* peakBinsSize) {
  std::uint32_t expectedSequence = log.sequence;
  for (std::size_t offset = kLogBaseBlockSize;;) {
    const auto entry = ReadEntry(log.bytes, offset, expectedSequence, largestImage);
    if (!entry) return;
    plan->push_back(*entry);
    offset += entry->bytes.size();
    ++expectedSequence;
    *peakBinsSize = std::max<std::uint64_t>(*peakBinsSize, entry->hiveBinsSize);
  }
}

// Copies the parts of the entry's pages that fall in [from, to) of the hive
// bins. Bounds were checked by ReadEntry, and the image holds the largest
// hive bins of the plan.
void CopyPages(const Entry& entry, std::uint64_t from, std::uint64_t to, std::span<std::uint8_t> image) {
  const std::uint8_t* page =
      entry.bytes.data() + kLogEntryHeaderSize + std::size_t{entry.pageCount} * kLogEntryPageReferenceSize;
  for (std::uint32_t i = 0; i < entry.pageCount; ++i) {
    const std::size_t reference = kLogEntryHeaderSize + std::size_t{i} * kLogEntryPageReferenceSize;
    const std::uint64_t pageOffset = ReadLittleEndian32(entry.bytes, reference);
    const std::uint32_t pageSize = ReadLittleEndian32(entry.bytes, reference + 4);
    const std::uint64_t start = std::max(pageOffset, from);
    const std::uint64_t end = std::min(pageOffset + pageSize, to);
    if (start < end) {
      std::copy_n(page + (start - pageOffset), end - start, image.data() + kBaseBlockSize + start);
    }
    page += pageSize;
  }
}

// Applies the planned entries in order, up to the first that grows the hive
// bins into a span that does not hold valid bins, or whose grown span would
// take the bytes checked past checkBudget. Returns how many applied.
std::size_t ApplyEntries(std::span<const Entry> plan, std::uint64_t binsSize, std::uint64_t checkBudget,
                         std::span<std::uint8_t> image) {
  std::size_t applied = 0;
  for (const Entry& entry : plan) {
    if (entry.hiveBinsSize > binsSize) {
      if (entry.hiveBinsSize - binsSize > checkBudget) break;
      checkBudget -= entry.hiveBinsSize - binsSize;
      // The grown span keeps what the primary file holds there; only what
      // lies past the file starts out as zeros.
      CopyPages(entry, binsSize, entry.hiveBinsSize, image);
      const auto bins = std::span<const std::uint8_t>(image).subspan(kBaseBlockSize, entry.hiveBinsSize);
      if (!HiveBinsAreValid(bins, static_cast<std::size_t>(binsSize))) break;
    }
    CopyPages(entry, 0, std::min<std::uint64_t>(binsSize, entry.hiveBinsSize), image);
    binsSize = entry.hiveBinsSize;
    ++applied;
  }
  return applied;
}

// What a recovery will do, settled from the base block and the logs alone.
struct RecoveryPlan {
  std::vector<Entry> entries;
  // The start of the base block the entries apply to.
  std::array<std::uint8_t, kLogBaseBlockSize> baseBlockStart{};
  std::uint64_t binsSize = 0;
  std::uint64_t largestImage = 0;
  // The largest hive bins size the image takes on, the file's own included.
  std::uint64_t peakBinsSize = 0;
};

std::optional<RecoveryPlan> PlanRecovery(std::span<const std::uint8_t> image, std::span<const std::uint8_t> log1,
                                         std::span<const std::uint8_t> log2) {
  if (image.size() < kBaseBlockSize) return std::nullopt;
  std::optional<Log> first = UsableLog(log1);
  std::optional<Log> second = UsableLog(log2);
  if (!first || (second && SequenceIsLower(second->sequence, first->sequence))) std::swap(first, second);

  // The base block the entries apply to: the primary's own, or, when it is
  // torn, the copy heading the log with the latest entries, applied alone.
  std::span<const std::uint8_t> baseBlock = image.first(kBaseBlockSize);
  if (ReadLittleEndian32(baseBlock, kChecksumOffset) != BaseBlockChecksum(baseBlock)) {
    if (second) first = second;
    second.reset();
    if (!first) return std::nullopt;
    baseBlock = first->bytes.first(kLogBaseBlockSize);
  } else {
    // A log older than the primary's secondary sequence number holds changes
    // the primary already has; replaying it would roll the hive back.
    const std::uint32_t secondary = ReadLittleEndian32(baseBlock, kSecondarySequenceOffset);
    if (first && SequenceIsLower(first->sequence, secondary)) {
      first = second;
      second.reset();
    }
    if (!first || SequenceIsLower(first->sequence, secondary)) return std::nullopt;
  }

  RecoveryPlan plan;
  // No entry may make the image larger than the files it comes from.
  plan.largestImage = image.size() + log1.size() + log2.size();
  plan.binsSize = ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);
  plan.peakBinsSize = image.size() - kBaseBlockSize;
  PlanLog(*first, plan.largestImage, &plan.entries, &plan.peakBinsSize);
  if (plan.entries.empty()) return std::nullopt;
  if (second && second->sequence == plan.entries.back().sequence + 1) {
    PlanLog(*second, plan.largestImage, &plan.entries, &plan.peakBinsSize);
  }
  std::copy_n(baseBlock.begin(), kLogBaseBlockSize, plan.baseBlockStart.begin());
  return plan;
}

// Applies the plan to image, which holds the primary file and then zeros up
// to the plan's peak; *recoveredSize: the recovered hive's size, its start.
LogRecovery ApplyRecovery(const RecoveryPlan& plan, std::span<std::uint8_t> image, std::size_t* recoveredSize) {
  // Entries that shrink and grow the hive over and over would make the
  // checks of the grown spans cost the square of the files' size; a real
  // log grows it by a little, now and then.
  const std::size_t applied = ApplyEntries(plan.entries, plan.binsSize, 2 * plan.largestImage, image);
  if (applied == 0) return {};

  const Entry& last = plan.entries[applied - 1];
  *recoveredSize = kBaseBlockSize + last.hiveBinsSize;
  std::copy(plan.baseBlockStart.begin(), plan.baseBlockStart.end(), image.begin());
  const std::span<std::uint8_t> recovered = image.first(kBaseBlockSize);
  // A base block taken from a log says it heads a log.
  WriteLittleEndian32(recovered, kFileTypeOffset, kFileTypePrimary);
  WriteLittleEndian32(recovered, kHiveBinsSizeOffset, last.hiveBinsSize);
  const std::uint32_t flags = ReadLittleEndian32(recovered, kFlagsOffset);
  WriteLittleEndian32(recovered, kFlagsOffset, (flags & ~1u) | (last.flags & 1u));
  SealBaseBlock(recovered, last.sequence);
  return {static_cast<std::uint32_t>(applied), last.sequence};
}

}  // namespace

bool SequenceIsLower(std::uint32_t a, std::uint32_t b) { return static_cast<std::uint32_t>(b - a - 1) < 0x7FFFFFFFu; }

void SequenceRange::Add(std::uint32_t sequence) {
  if (spread_) return;
  if (!oldest_) {
    oldest_ = newest_ = sequence;
    return;
  }
  const std::uint32_t ahead = sequence - *oldest_;
  if (ahead <= newest_ - *oldest_) return;
  // Widen the arc the shorter way round to take the number in.
  const std::uint32_t behind = newest_ - sequence;
  if (ahead <= behind) {
    newest_ = sequence;
  } else {
    oldest_ = sequence;
  }
  // The next number must be ahead of the oldest by at most 0x7FFFFFFF.
  spread_ = newest_ - *oldest_ > 0x7FFFFFFEu;
}

std::optional<std::uint32_t> SequenceRange::NextNewer() const {
  if (!oldest_ || spread_) return std::nullopt;
  return newest_ + 1;
}

LogRecovery RecoverFromLogs(HiveImage* image, std::span<const std::uint8_t> log1,
                            std::span<const std::uint8_t> log2) {
  const std::optional<RecoveryPlan> plan = PlanRecovery(*image, log1, log2);
  if (!plan) return {};
  const std::size_t originalSize = image->size();
  // Past the file, the hive grows into zeros.
  image->resize(static_cast<std::size_t>(kBaseBlockSize + plan->peakBinsSize), 0);
  std::size_t recoveredSize = originalSize;
  const LogRecovery recovery = ApplyRecovery(*plan, *image, &recoveredSize);
  image->resize(recoveredSize);
  return recovery;
}

std::optional<LogRecovery> RecoverFromLogsInPlace(std::span<std::uint8_t> image, std::span<const std::uint8_t> log1,
                                                  std::span<const std::uint8_t> log2, std::size_t* recoveredSize) {
  const std::optional<RecoveryPlan> plan = PlanRecovery(image, log1, log2);
  if (!plan) return LogRecovery{};
  if (kBaseBlockSize + plan->peakBinsSize > image.size()) return std::nullopt;
  return ApplyRecovery(*plan, image, recoveredSize);
}

void AddLogSequences(std::span<const std::uint8_t> log, SequenceRange* range) {
  const std::optional<Log> usable = UsableLog(log);
  if (!usable) return;
  range->Add(usable->sequence);
  for (std::size_t offset = kLogBaseBlockSize; offset + kLogEntryHeaderSize <= log.size();) {
    if (!HasTag(log, offset, "HvLE")) {
      offset += kLogEntryAlignment;
      continue;
    }
    range->Add(ReadLittleEndian32(log, offset + kLogEntrySequenceOffset));
    // Step over a plausible entry whole, so page contents are not taken for headers.
    const std::size_t size = EntrySize(log, offset);
    offset += size != 0 ? size : kLogEntryAlignment;
  }
}

}  // namespace tessaly::hive
