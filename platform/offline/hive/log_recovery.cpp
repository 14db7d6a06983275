#include "platform/offline/hive/log_recovery.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/little_endian.h"
#include "platform/offline/hive/marvin32.h"

namespace tessaly::offline {
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

// The entry at `offset` when it may be applied after an image of
// `imageBinsSize` bytes of hive bins, else nothing.
std::optional<Entry> ReadEntry(std::span<const std::uint8_t> log, std::size_t offset, std::uint32_t expectedSequence,
                               std::uint64_t imageBinsSize) {
  if (offset + kLogEntryHeaderSize > log.size() || !HasTag(log, offset, "HvLE")) return std::nullopt;
  const std::size_t size = EntrySize(log, offset);
  if (size == 0) return std::nullopt;
  const auto bytes = log.subspan(offset, size);
  const Entry entry{
      bytes, ReadLittleEndian32(bytes, kLogEntrySequenceOffset), ReadLittleEndian32(bytes, kLogEntryHiveBinsSizeOffset),
      ReadLittleEndian32(bytes, kLogEntryFlagsOffset), ReadLittleEndian32(bytes, kLogEntryPageCountOffset)};
  if (entry.sequence != expectedSequence) return std::nullopt;
  if (entry.hiveBinsSize % kHivePageSize != 0 || entry.pageCount == 0) return std::nullopt;

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
  if (entry.hiveBinsSize > imageBinsSize + pageBytes) return std::nullopt;

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

// Every entry of `log` that applies, in order, after those already in
// `plan`; the first must carry the log's own sequence number.
void PlanLog(const Log& log, std::vector<Entry>* plan, std::uint64_t* binsSize, std::uint64_t* peakBinsSize) {
  std::uint32_t expectedSequence = log.sequence;
  for (std::size_t offset = kLogBaseBlockSize;;) {
    const auto entry = ReadEntry(log.bytes, offset, expectedSequence, *binsSize);
    if (!entry) return;
    plan->push_back(*entry);
    offset += entry->bytes.size();
    ++expectedSequence;
    *binsSize = entry->hiveBinsSize;
    *peakBinsSize = std::max(*peakBinsSize, *binsSize);
  }
}

// Bounds were checked by ReadEntry.
void ApplyEntry(const Entry& entry, std::vector<std::uint8_t>* image) {
  image->resize(kBaseBlockSize + entry.hiveBinsSize);
  const std::uint8_t* page =
      entry.bytes.data() + kLogEntryHeaderSize + std::size_t{entry.pageCount} * kLogEntryPageReferenceSize;
  for (std::uint32_t i = 0; i < entry.pageCount; ++i) {
    const std::size_t reference = kLogEntryHeaderSize + std::size_t{i} * kLogEntryPageReferenceSize;
    const std::uint32_t pageOffset = ReadLittleEndian32(entry.bytes, reference);
    const std::uint32_t pageSize = ReadLittleEndian32(entry.bytes, reference + 4);
    std::copy_n(page, pageSize, image->data() + kBaseBlockSize + pageOffset);
    page += pageSize;
  }
}

}  // namespace

bool SequenceIsLower(std::uint32_t a, std::uint32_t b) {
  if (a == b) return false;
  const bool plainlyLower = a < b;
  const std::uint32_t difference = plainlyLower ? b - a : a - b;
  return difference > 0x7FFFFFFFu ? !plainlyLower : plainlyLower;
}

LogRecovery RecoverFromLogs(std::vector<std::uint8_t>* image, std::span<const std::uint8_t> log1,
                            std::span<const std::uint8_t> log2) {
  if (image->size() < kBaseBlockSize) return {};
  std::optional<Log> first = UsableLog(log1);
  std::optional<Log> second = UsableLog(log2);
  if (!first || (second && SequenceIsLower(second->sequence, first->sequence))) std::swap(first, second);

  // A log older than the primary's secondary sequence number holds changes
  // the primary already has; replaying it would roll the hive back.
  const std::uint32_t secondary = ReadLittleEndian32(*image, kSecondarySequenceOffset);
  if (first && SequenceIsLower(first->sequence, secondary)) {
    first = second;
    second.reset();
  }
  if (!first || SequenceIsLower(first->sequence, secondary)) return {};

  // Validate everything before changing a byte, so the image is reserved once
  // at its largest size.
  std::vector<Entry> plan;
  std::uint64_t binsSize = image->size() - kBaseBlockSize;
  std::uint64_t peakBinsSize = binsSize;
  PlanLog(*first, &plan, &binsSize, &peakBinsSize);
  if (plan.empty()) return {};
  if (second && second->sequence == plan.back().sequence + 1) PlanLog(*second, &plan, &binsSize, &peakBinsSize);

  image->reserve(kBaseBlockSize + peakBinsSize);
  for (const Entry& entry : plan) ApplyEntry(entry, image);

  const Entry& last = plan.back();
  const std::span<std::uint8_t> baseBlock(image->data(), kBaseBlockSize);
  WriteLittleEndian32(baseBlock, kHiveBinsSizeOffset, last.hiveBinsSize);
  const std::uint32_t flags = ReadLittleEndian32(baseBlock, kFlagsOffset);
  WriteLittleEndian32(baseBlock, kFlagsOffset, (flags & ~1u) | (last.flags & 1u));
  SealBaseBlock(baseBlock, last.sequence);
  return {static_cast<std::uint32_t>(plan.size()), last.sequence};
}

std::uint32_t HighestLogSequence(std::span<const std::uint8_t> log) {
  const std::optional<Log> usable = UsableLog(log);
  if (!usable) return 0;
  std::uint32_t highest = usable->sequence;
  for (std::size_t offset = kLogBaseBlockSize; offset + kLogEntryHeaderSize <= log.size();) {
    if (!HasTag(log, offset, "HvLE")) {
      offset += kLogEntryAlignment;
      continue;
    }
    const std::uint32_t sequence = ReadLittleEndian32(log, offset + kLogEntrySequenceOffset);
    if (SequenceIsLower(highest, sequence)) highest = sequence;
    // Step over a plausible entry whole, so page contents are not taken for headers.
    const std::size_t size = EntrySize(log, offset);
    offset += size != 0 ? size : kLogEntryAlignment;
  }
  return highest;
}

}  // namespace tessaly::offline
