// libFuzzer target: a hive file and its two transaction logs from arbitrary
// bytes, read as the tool reads them: the base block check, recovery from
// the logs when the hive is dirty (in a copy, and in the file's own bytes
// where they have room, which must agree), the save sequence number, then
// every key reachable from the root (up to a bound), their values, and a
// rewrite of each REG_DWORD in place.
//
// Input: two little-endian 32-bit lengths (of the hive file and of LOG1,
// each taken modulo what is left), then the hive file, LOG1, and LOG2 as the
// rest.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hive/base_block.h"
#include "hive/hive.h"
#include "hive/little_endian.h"
#include "hive/log_recovery.h"

namespace {

using namespace tessaly::hive;

constexpr std::size_t kMaxKeys = 256;

// Takes the next part of the input, its length read from the header.
std::span<const std::uint8_t> TakePart(std::span<const std::uint8_t>* rest, std::uint32_t length) {
  const std::size_t size = rest->empty() ? 0 : length % (rest->size() + 1);
  const std::span<const std::uint8_t> part = rest->first(size);
  *rest = rest->subspan(size);
  return part;
}

// The hive as OpenHiveFile makes it: a clean hive's extent, or a dirty one
// brought up to date from its logs.
std::optional<Hive> LoadHive(std::span<const std::uint8_t> file, std::span<const std::uint8_t> log1,
                             std::span<const std::uint8_t> log2) {
  const BaseBlockState state = CheckBaseBlock(file);
  if (state == BaseBlockState::NotAHive) return std::nullopt;
  HiveImage bytes(file.begin(), file.end());
  SequenceRange sequences;
  if (state == BaseBlockState::Clean) {
    const std::uint64_t extent = kBaseBlockSize + std::uint64_t{ReadLittleEndian32(file, kHiveBinsSizeOffset)};
    if (extent > file.size()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(extent));
    sequences.Add(ReadLittleEndian32(file, kPrimarySequenceOffset));
  } else {
    const LogRecovery recovery = RecoverFromLogs(&bytes, log1, log2);
    // In the file's own bytes, where the logs grow it no further, the same.
    std::vector<std::uint8_t> inPlace(file.begin(), file.end());
    std::size_t inPlaceSize = 0;
    if (const auto again = RecoverFromLogsInPlace(inPlace, log1, log2, &inPlaceSize); again) {
      if (again->entriesApplied != recovery.entriesApplied) __builtin_trap();
      if (recovery.entriesApplied != 0 &&
          (inPlaceSize != bytes.size() || !std::equal(bytes.begin(), bytes.end(), inPlace.begin()))) {
        __builtin_trap();
      }
    }
    if (recovery.entriesApplied == 0) return std::nullopt;
    // The image never outgrows what it was recovered from.
    if (bytes.size() > file.size() + log1.size() + log2.size()) __builtin_trap();
    if (state == BaseBlockState::Dirty) {
      sequences.Add(ReadLittleEndian32(file, kPrimarySequenceOffset));
      sequences.Add(ReadLittleEndian32(file, kSecondarySequenceOffset));
    }
    AddLogSequences(log1, &sequences);
    AddLogSequences(log2, &sequences);
  }
  if (CheckBaseBlock(bytes) != BaseBlockState::Clean) __builtin_trap();
  return Hive::Open(std::move(bytes), sequences.NextNewer().value_or(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  if (input.size() < 8) return 0;
  const std::uint32_t fileLength = ReadLittleEndian32(input, 0);
  const std::uint32_t log1Length = ReadLittleEndian32(input, 4);
  input = input.subspan(8);
  const std::span<const std::uint8_t> file = TakePart(&input, fileLength);
  const std::span<const std::uint8_t> log1 = TakePart(&input, log1Length);
  std::optional<Hive> hive = LoadHive(file, log1, input);
  if (!hive) return 0;

  std::vector<CellOffset> keys = {hive->Root()};
  std::vector<std::uint8_t> bytes;
  for (std::size_t next = 0; next < keys.size() && keys.size() < kMaxKeys; ++next) {
    for (const NamedItem& subkey : hive->Subkeys(keys[next])) {
      if (hive->FindSubkey(keys[next], subkey.name) == std::nullopt) __builtin_trap();
      keys.push_back(subkey.cell);
    }
    const std::vector<NamedItem> values = hive->Values(keys[next]);
    for (const NamedItem& value : values) {
      std::uint32_t type = 0;
      if (hive->ReadValue(value.cell, &type, &bytes) == 0 && hive->SetDword(value.cell, 0x12345678) == 0) {
        if (hive->ReadValue(value.cell, &type, &bytes) != 0 || bytes.size() != 4 || bytes[0] != 0x78) __builtin_trap();
      }
    }
  }
  // What a save writes reads back as a clean hive of the same extent.
  const auto baseBlock = hive->SavedBaseBlock();
  if (CheckBaseBlock(baseBlock) != BaseBlockState::Clean ||
      ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset) != hive->Bins().size()) {
    __builtin_trap();
  }
  return 0;
}
