#include "tools/image/log_writer.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "hive/base_block.h"
#include "hive/little_endian.h"
#include "hive/log_recovery.h"
#include "hive/marvin32.h"

namespace tessaly::image {
namespace {

using hive::kBaseBlockSize;
using hive::kHivePageSize;
using hive::ReadLittleEndian32;
using hive::WriteLittleEndian32;

void WriteLittleEndian64(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value) {
  WriteLittleEndian32(bytes, offset, static_cast<std::uint32_t>(value));
  WriteLittleEndian32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::size_t RoundUp(std::size_t size, std::size_t alignment) { return (size + alignment - 1) / alignment * alignment; }

void AppendEntry(const LogEntry& entry, std::vector<std::uint8_t>* log) {
  std::size_t pageBytes = 0;
  for (const LogPage& page : entry.pages) pageBytes += page.bytes.size();
  const std::size_t referencesEnd =
      hive::kLogEntryHeaderSize + entry.pages.size() * hive::kLogEntryPageReferenceSize;
  const std::size_t size = RoundUp(referencesEnd + pageBytes, hive::kLogEntryAlignment);

  const std::size_t start = log->size();
  log->resize(start + size);
  const std::span<std::uint8_t> bytes(log->data() + start, size);
  std::memcpy(bytes.data(), entry.fault == LogEntryFault::BadSignature ? "HvLF" : "HvLE", 4);
  std::uint32_t storedSize = static_cast<std::uint32_t>(size);
  if (entry.fault == LogEntryFault::SizeBelow512) storedSize = 256;
  if (entry.fault == LogEntryFault::SizeNotMultipleOf512) storedSize -= 4;
  WriteLittleEndian32(bytes, hive::kLogEntrySizeOffset, storedSize);
  WriteLittleEndian32(bytes, hive::kLogEntryFlagsOffset, entry.flags);
  WriteLittleEndian32(bytes, hive::kLogEntrySequenceOffset, entry.sequence);
  WriteLittleEndian32(bytes, hive::kLogEntryHiveBinsSizeOffset, entry.hiveBinsSize);
  WriteLittleEndian32(bytes, hive::kLogEntryPageCountOffset, static_cast<std::uint32_t>(entry.pages.size()));
  std::size_t reference = hive::kLogEntryHeaderSize;
  std::size_t pageStart = referencesEnd;
  for (const LogPage& page : entry.pages) {
    WriteLittleEndian32(bytes, reference, page.offset);
    WriteLittleEndian32(bytes, reference + 4, static_cast<std::uint32_t>(page.bytes.size()));
    std::copy(page.bytes.begin(), page.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pageStart));
    reference += hive::kLogEntryPageReferenceSize;
    pageStart += page.bytes.size();
  }

  // The hashes cover the stored size, so a size fault shows as nothing else.
  const auto hashed = bytes.first(storedSize).subspan(hive::kLogEntryHeaderSize);
  std::uint64_t hash1 = hive::Marvin32(hashed, hive::kLogEntryHashSeed);
  if (entry.fault == LogEntryFault::BadHash1) hash1 ^= 1;
  WriteLittleEndian64(bytes, hive::kLogEntryHash1Offset, hash1);
  std::uint64_t hash2 = hive::Marvin32(bytes.first(hive::kLogEntryHash2Offset), hive::kLogEntryHashSeed);
  if (entry.fault == LogEntryFault::BadHash2) hash2 ^= 1;
  WriteLittleEndian64(bytes, hive::kLogEntryHash2Offset, hash2);
}

std::vector<std::uint8_t> Garbled(std::span<const std::uint8_t> bytes, std::uint8_t mask) {
  std::vector<std::uint8_t> garbled(bytes.begin(), bytes.end());
  for (std::uint8_t& byte : garbled) byte ^= mask;
  return garbled;
}

// What the primary holds, and what an entry holds when a later one logs the
// page again: every byte differs from the final page.
constexpr std::uint8_t kStaleMask = 0xA5;
constexpr std::uint8_t kSupersededMask = 0x3C;
constexpr std::uint8_t kExtraPageFill = 0xEE;

// The pages entry `entry` logs among pages [0, pageCount): the first one,
// and pagesPerEntry - 1 more spread over the rest.
std::set<std::size_t> PagesOfEntry(std::size_t entry, std::size_t entryCount, std::size_t pagesPerEntry,
                                   std::size_t pageCount) {
  std::set<std::size_t> pages{0};
  const std::size_t others = pageCount - 1;
  if (others == 0) return pages;
  const std::size_t slots = entryCount * (pagesPerEntry - 1);
  for (std::size_t j = 0; j + 1 < pagesPerEntry; ++j) {
    const std::size_t slot = entry * (pagesPerEntry - 1) + j;
    pages.insert(1 + (slots <= others ? slot * others / slots : slot % others));
  }
  return pages;
}

bool WriteFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

std::vector<std::uint8_t> WriteLog(std::span<const std::uint8_t> baseBlock, const LogContents& log) {
  std::vector<std::uint8_t> bytes(baseBlock.begin(), baseBlock.begin() + hive::kLogBaseBlockSize);
  WriteLittleEndian32(bytes, hive::kFileTypeOffset, hive::kFileTypeNewLog);
  hive::SealBaseBlock(bytes, log.sequence);
  for (const LogEntry& entry : log.entries) AppendEntry(entry, &bytes);
  return bytes;
}

DirtyHive MakeDirtyHive(std::span<const std::uint8_t> cleanHive, const DirtyHiveShape& shape) {
  if (hive::CheckBaseBlock(cleanHive) != hive::BaseBlockState::Clean) {
    throw std::invalid_argument("not a clean hive");
  }
  const std::uint32_t binsSize = ReadLittleEndian32(cleanHive, hive::kHiveBinsSizeOffset);
  if (binsSize % kHivePageSize != 0 || cleanHive.size() != kBaseBlockSize + binsSize) {
    throw std::invalid_argument("hive size does not match its hive bins size");
  }
  const std::size_t entryCount = shape.log1Entries + shape.log2Entries;
  const std::size_t pageCount = binsSize / kHivePageSize;
  if (entryCount == 0 || shape.pagesPerEntry == 0) throw std::invalid_argument("no entries or no pages");
  if (shape.primaryMissingPages + shape.primaryAheadPages >= pageCount) {
    throw std::invalid_argument("no page left in the primary");
  }
  if ((shape.primaryMissingPages != 0) + (shape.primaryExtraPages != 0) + (shape.primaryAheadPages != 0) > 1) {
    throw std::invalid_argument("more than one of missing, extra and ahead pages");
  }
  const std::size_t primaryPageCount = pageCount - shape.primaryMissingPages;
  // Pages the base block counts, and the entries log from.
  const std::size_t countedPageCount = primaryPageCount - shape.primaryAheadPages;
  const std::uint32_t cleanSequence = ReadLittleEndian32(cleanHive, hive::kPrimarySequenceOffset);
  const std::uint32_t flags = ReadLittleEndian32(cleanHive, hive::kFlagsOffset);
  const std::uint32_t firstSequence = cleanSequence - static_cast<std::uint32_t>(entryCount - 1);
  const auto bins = cleanHive.subspan(kBaseBlockSize);
  const auto page = [&](std::size_t index, std::size_t count = 1) {
    return bins.subspan(index * kHivePageSize, count * kHivePageSize);
  };

  std::vector<std::set<std::size_t>> pagesByEntry;
  for (std::size_t entry = 0; entry < entryCount; ++entry) {
    pagesByEntry.push_back(PagesOfEntry(entry, entryCount, shape.pagesPerEntry, countedPageCount));
  }
  std::vector<LogEntry> entries;
  for (std::size_t entry = 0; entry < entryCount; ++entry) {
    LogEntry logged{firstSequence + static_cast<std::uint32_t>(entry), binsSize, flags, {}};
    for (const std::size_t index : pagesByEntry[entry]) {
      const bool superseded = std::any_of(pagesByEntry.begin() + static_cast<std::ptrdiff_t>(entry) + 1,
                                          pagesByEntry.end(), [&](const auto& later) { return later.contains(index); });
      const auto offset = static_cast<std::uint32_t>(index * kHivePageSize);
      if (superseded) {
        logged.pages.push_back({offset, Garbled(page(index), kSupersededMask)});
      } else {
        logged.pages.push_back({offset, std::vector<std::uint8_t>(page(index).begin(), page(index).end())});
      }
    }
    if (entry == 0 && shape.primaryMissingPages != 0) {
      const auto grown = page(primaryPageCount, shape.primaryMissingPages);
      logged.pages.push_back({static_cast<std::uint32_t>(primaryPageCount * kHivePageSize),
                              std::vector<std::uint8_t>(grown.begin(), grown.end())});
    }
    entries.push_back(std::move(logged));
  }

  DirtyHive dirty;
  const std::size_t kept = kBaseBlockSize + primaryPageCount * kHivePageSize;
  dirty.primary.resize(kept + shape.primaryExtraPages * kHivePageSize, kExtraPageFill);
  std::copy_n(cleanHive.begin(), kept, dirty.primary.begin());
  for (const auto& pages : pagesByEntry) {
    for (const std::size_t index : pages) {
      const std::vector<std::uint8_t> stale = Garbled(page(index), kStaleMask);
      std::copy(stale.begin(), stale.end(),
                dirty.primary.begin() + static_cast<std::ptrdiff_t>(kBaseBlockSize + index * kHivePageSize));
    }
  }
  const std::span<std::uint8_t> baseBlock(dirty.primary.data(), kBaseBlockSize);
  WriteLittleEndian32(baseBlock, hive::kHiveBinsSizeOffset,
                      static_cast<std::uint32_t>(dirty.primary.size() - kBaseBlockSize -
                                                 shape.primaryAheadPages * kHivePageSize));
  WriteLittleEndian32(baseBlock, hive::kFlagsOffset, flags ^ 1u);
  WriteLittleEndian32(baseBlock, hive::kPrimarySequenceOffset, firstSequence + 1);
  WriteLittleEndian32(baseBlock, hive::kSecondarySequenceOffset, firstSequence);
  WriteLittleEndian32(baseBlock, hive::kChecksumOffset, hive::BaseBlockChecksum(baseBlock));

  const auto log2Start = entries.begin() + static_cast<std::ptrdiff_t>(shape.log1Entries);
  dirty.log1 = {firstSequence, {std::make_move_iterator(entries.begin()), std::make_move_iterator(log2Start)}};
  dirty.log2 = {firstSequence + static_cast<std::uint32_t>(shape.log1Entries),
                {std::make_move_iterator(log2Start), std::make_move_iterator(entries.end())}};
  return dirty;
}

bool MakeHiveFileDirty(const std::filesystem::path& hive, const DirtyHiveShape& shape) {
  std::ifstream in(hive, std::ios::binary);
  if (!in) return false;
  const std::vector<std::uint8_t> clean{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const DirtyHive dirty = MakeDirtyHive(clean, shape);
  const auto log = [&](const char* suffix) { return std::filesystem::path(hive.string() + suffix); };
  return WriteFile(hive, dirty.primary) && WriteFile(log(".LOG1"), WriteLog(dirty.primary, dirty.log1)) &&
         WriteFile(log(".LOG2"), WriteLog(dirty.primary, dirty.log2));
}

}  // namespace tessaly::image
