#include "hive/log_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hive/base_block.h"
#include "hive/little_endian.h"
#include "hive/marvin32.h"
#include "tests/tools/temp_dir.h"
#include "tools/image/hive_writer.h"
#include "tools/image/log_writer.h"

namespace tessaly::hive {
namespace {

using Bytes = std::vector<std::uint8_t>;
using image::DirtyHive;
using image::DirtyHiveShape;
using image::LogContents;
using image::LogEntry;
using image::LogEntryFault;

Bytes ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A clean hive of a few dozen pages, written by the image tools.
void WriteCleanHive(const std::filesystem::path& file) {
  image::HiveKey components{"Components", {}, {}};
  for (int i = 0; i < 48; ++i) {
    const std::string name = std::to_string(i);
    components.values.push_back(image::BinaryValue("v" + name, Bytes(2000, static_cast<std::uint8_t>(i))));
    components.values.push_back(image::DwordValue("f!" + name, static_cast<std::uint32_t>(i)));
  }
  if (!image::WriteHive(file, {"ROOT", {}, {components}})) throw std::runtime_error("cannot write the hive");
}

const Bytes& CleanHiveFile() {
  static const Bytes hive = [] {
    image::TempDir dir;
    WriteCleanHive(dir.Path() / "COMPONENTS");
    return ReadFile(dir.Path() / "COMPONENTS");
  }();
  return hive;
}

Bytes CleanHive(std::uint32_t sequence) {
  Bytes hive = CleanHiveFile();
  SealBaseBlock(std::span(hive).first(kBaseBlockSize), sequence);
  return hive;
}

std::uint32_t Field(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return ReadLittleEndian32(bytes, offset);
}

// Whole-file comparison that names the first differing byte instead of
// printing both files.
testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  if (actual.size() != expected.size()) {
    return testing::AssertionFailure() << "size " << actual.size() << ", expected " << expected.size();
  }
  const auto difference = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (difference.first == actual.end()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "first difference at offset 0x" << std::hex
                                     << (difference.first - actual.begin());
}

struct Recovered {
  LogRecovery recovery;
  Bytes image;
};

// Recovers a copy of primary, and checks that a recovery in the primary's
// own bytes, where the logs grow it no further, comes to the same; where
// they do, it must leave them untouched.
Recovered Recover(const Bytes& primary, std::span<const std::uint8_t> log1, std::span<const std::uint8_t> log2) {
  HiveImage image(primary.begin(), primary.end());
  const LogRecovery recovery = RecoverFromLogs(&image, log1, log2);
  Recovered recovered{recovery, Bytes(image.begin(), image.end())};

  Bytes inPlace = primary;
  std::size_t size = 0;
  const std::optional<LogRecovery> again = RecoverFromLogsInPlace(inPlace, log1, log2, &size);
  if (!again) {
    EXPECT_TRUE(SameBytes(inPlace, primary)) << "a recovery without room changed the bytes";
  } else {
    EXPECT_EQ(again->entriesApplied, recovery.entriesApplied);
    EXPECT_EQ(again->lastSequence, recovery.lastSequence);
    if (recovery.entriesApplied > 0) {
      EXPECT_TRUE(SameBytes(Bytes(inPlace.begin(), inPlace.begin() + static_cast<std::ptrdiff_t>(size)),
                            recovered.image));
    }
  }
  return recovered;
}

Recovered Recover(const DirtyHive& dirty) {
  return Recover(dirty.primary, image::WriteLog(dirty.primary, dirty.log1), image::WriteLog(dirty.primary, dirty.log2));
}

// Seals a primary or log base block after a test changed one of its fields.
void Reseal(Bytes& bytes) { WriteLittleEndian32(bytes, kChecksumOffset, BaseBlockChecksum(bytes)); }

std::vector<std::size_t> EntryOffsets(const Bytes& log) {
  std::vector<std::size_t> offsets;
  for (std::size_t offset = kLogBaseBlockSize; offset + kLogEntryHeaderSize <= log.size();
       offset += Field(log, offset + kLogEntrySizeOffset)) {
    offsets.push_back(offset);
  }
  return offsets;
}

// Sets a field of the entry at `offset` and stores the hashes that go with
// it, so only the field itself can make the entry fail.
void SetEntryField(Bytes& log, std::size_t offset, std::size_t field, std::uint32_t value) {
  const std::span<std::uint8_t> entry = std::span(log).subspan(offset);
  WriteLittleEndian32(entry, field, value);
  const std::uint32_t size = Field(entry, kLogEntrySizeOffset);
  if (size < kLogEntryHeaderSize || size > entry.size() || size % 4 != 0) return;
  const std::uint64_t hash1 =
      Marvin32(entry.subspan(kLogEntryHeaderSize, size - kLogEntryHeaderSize), kLogEntryHashSeed);
  WriteLittleEndian32(entry, kLogEntryHash1Offset, static_cast<std::uint32_t>(hash1));
  WriteLittleEndian32(entry, kLogEntryHash1Offset + 4, static_cast<std::uint32_t>(hash1 >> 32));
  const std::uint64_t hash2 = Marvin32(entry.first(kLogEntryHash2Offset), kLogEntryHashSeed);
  WriteLittleEndian32(entry, kLogEntryHash2Offset, static_cast<std::uint32_t>(hash2));
  WriteLittleEndian32(entry, kLogEntryHash2Offset + 4, static_cast<std::uint32_t>(hash2 >> 32));
}

TEST(RecoverFromLogs, RecoversTheDirtyHiveAWindows10CrashLeaves) {
  const Bytes clean = CleanHive(3);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {});
  ASSERT_EQ(CheckBaseBlock(dirty.primary), BaseBlockState::Dirty);
  ASSERT_EQ(Field(dirty.primary, kPrimarySequenceOffset), 3u);
  ASSERT_EQ(Field(dirty.primary, kSecondarySequenceOffset), 2u);
  ASSERT_EQ(dirty.log1.sequence, 2u);
  ASSERT_EQ(dirty.log2.sequence, 3u);

  const auto [recovery, recovered] = Recover(dirty);
  EXPECT_EQ(recovery.entriesApplied, 2u);
  EXPECT_EQ(recovery.lastSequence, 3u);
  EXPECT_TRUE(SameBytes(recovered, clean));
  EXPECT_EQ(CheckBaseBlock(recovered), BaseBlockState::Clean);
}

TEST(RecoverFromLogs, RecoversAHiveFileMadeDirtyBesideItsLogs) {
  image::TempDir dir;
  const auto hive = dir.Path() / "COMPONENTS";
  WriteCleanHive(hive);
  const Bytes clean = ReadFile(hive);
  ASSERT_TRUE(image::MakeHiveFileDirty(hive, {2, 2, 3, 0, 0}));

  const auto [recovery, recovered] =
      Recover(ReadFile(hive), ReadFile(dir.Path() / "COMPONENTS.LOG1"), ReadFile(dir.Path() / "COMPONENTS.LOG2"));
  EXPECT_EQ(recovery.entriesApplied, 4u);
  EXPECT_TRUE(SameBytes(recovered, clean));
}

struct RecoveryCase {
  const char* name;
  std::uint32_t cleanSequence;
  DirtyHiveShape shape;
};

void PrintTo(const RecoveryCase& test, std::ostream* out) { *out << test.name; }

class EveryEntryApplies : public testing::TestWithParam<RecoveryCase> {};

TEST_P(EveryEntryApplies, AndGiveBackTheCleanHiveWhicheverFileIsNamedLog1) {
  const RecoveryCase& test = GetParam();
  const Bytes clean = CleanHive(test.cleanSequence);
  const DirtyHive dirty = image::MakeDirtyHive(clean, test.shape);
  ASSERT_FALSE(SameBytes(dirty.primary, clean));
  const Bytes log1 = image::WriteLog(dirty.primary, dirty.log1);
  const Bytes log2 = image::WriteLog(dirty.primary, dirty.log2);
  const auto entryCount = static_cast<std::uint32_t>(test.shape.log1Entries + test.shape.log2Entries);

  for (const bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "LOG2 passed first" : "LOG1 passed first");
    const auto [recovery, recovered] =
        swapped ? Recover(dirty.primary, log2, log1) : Recover(dirty.primary, log1, log2);
    EXPECT_EQ(recovery.entriesApplied, entryCount);
    EXPECT_EQ(recovery.lastSequence, test.cleanSequence);
    EXPECT_TRUE(SameBytes(recovered, clean));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryEntryApplies,
                         testing::Values(RecoveryCase{"SeveralEntriesAndPagesPerLog", 20, {3, 4, 5, 0, 0}},
                                         RecoveryCase{"PagesLoggedByManyEntries", 20, {2, 2, 40, 0, 0}},
                                         RecoveryCase{"Log2OnlyHoldsItsBaseBlock", 20, {3, 0, 2, 0, 0}},
                                         RecoveryCase{"SequenceNumbersWrapBetweenTheLogs", 1, {2, 2, 2, 0, 0}},
                                         RecoveryCase{"HiveBinsGrow", 7, {2, 1, 2, 3, 0}},
                                         RecoveryCase{"HiveBinsShrink", 7, {1, 2, 2, 0, 2}},
                                         RecoveryCase{"PrimaryFileHoldsTheGrownBins", 7, {2, 1, 2, 0, 0, 3}}),
                         [](const testing::TestParamInfo<RecoveryCase>& info) { return info.param.name; });

TEST(RecoverFromLogs, ChangesTheImageSizeToTheLastEntrysHiveBins) {
  const Bytes clean = CleanHive(7);
  for (const DirtyHiveShape shape : {DirtyHiveShape{1, 1, 1, 3, 0}, DirtyHiveShape{1, 1, 1, 0, 2}}) {
    const DirtyHive dirty = image::MakeDirtyHive(clean, shape);
    ASSERT_EQ(dirty.primary.size(), clean.size() + (shape.primaryExtraPages - shape.primaryMissingPages) * 4096);
    EXPECT_EQ(Recover(dirty).image.size(), clean.size());
  }
}

// The file's own bytes cannot grow: logs that grow the hive past them leave
// the recovery to a copy that can.
TEST(RecoverFromLogs, InPlaceOnlyWhereTheLogsGrowTheHiveNoFurtherThanTheFile) {
  const Bytes clean = CleanHive(7);
  for (const DirtyHiveShape shape : {DirtyHiveShape{1, 1, 1, 3, 0}, DirtyHiveShape{1, 1, 1, 0, 2}}) {
    const DirtyHive dirty = image::MakeDirtyHive(clean, shape);
    Bytes primary = dirty.primary;
    std::size_t size = 0;
    const std::optional<LogRecovery> recovery = RecoverFromLogsInPlace(
        primary, image::WriteLog(dirty.primary, dirty.log1), image::WriteLog(dirty.primary, dirty.log2), &size);
    EXPECT_EQ(recovery.has_value(), shape.primaryMissingPages == 0);
    if (recovery) {
      EXPECT_EQ(size, clean.size());
    }
  }
}

// The lower log holds changes older than the primary's secondary sequence
// number: only the other log applies.
TEST(RecoverFromLogs, SkipsALogOlderThanThePrimary) {
  const Bytes clean = CleanHive(3);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {0, 1, 1, 0, 0});
  ASSERT_EQ(Field(dirty.primary, kSecondarySequenceOffset), 3u);
  const std::uint32_t binsSize = Field(clean, kHiveBinsSizeOffset);
  const LogContents stale{1, {LogEntry{1, binsSize, 0, {{binsSize - 4096, Bytes(4096, 0xCC)}}}}};
  const Bytes staleLog = image::WriteLog(dirty.primary, stale);
  const Bytes log2 = image::WriteLog(dirty.primary, dirty.log2);

  const auto [recovery, recovered] = Recover(dirty.primary, staleLog, log2);
  EXPECT_EQ(recovery.entriesApplied, 1u);
  EXPECT_TRUE(SameBytes(recovered, clean));

  // When the primary is newer than both logs, neither applies.
  Bytes newerPrimary = dirty.primary;
  WriteLittleEndian32(newerPrimary, kPrimarySequenceOffset, 5);
  WriteLittleEndian32(newerPrimary, kSecondarySequenceOffset, 4);
  Reseal(newerPrimary);
  const auto [none, unchanged] = Recover(newerPrimary, staleLog, log2);
  EXPECT_EQ(none.entriesApplied, 0u);
  EXPECT_TRUE(SameBytes(unchanged, newerPrimary));
}

// LOG1 at 0 is not older than a secondary sequence number of 0xFFFFFFFF: the
// count wrapped.
TEST(RecoverFromLogs, ComparesWithThePrimaryAcrossTheWrap) {
  const Bytes clean = CleanHive(1);
  DirtyHive dirty = image::MakeDirtyHive(clean, {1, 1, 2, 0, 0});
  ASSERT_EQ(dirty.log1.sequence, 0u);
  WriteLittleEndian32(dirty.primary, kSecondarySequenceOffset, 0xFFFFFFFF);
  Reseal(dirty.primary);

  const auto [recovery, recovered] = Recover(dirty);
  EXPECT_EQ(recovery.entriesApplied, 2u);
  EXPECT_TRUE(SameBytes(recovered, clean));
}

TEST(RecoverFromLogs, GoesOnWithLog2OnlyRightAfterTheLastAppliedEntry) {
  const Bytes clean = CleanHive(20);
  DirtyHive dirty = image::MakeDirtyHive(clean, {2, 2, 2, 0, 0});
  const Bytes log1 = image::WriteLog(dirty.primary, dirty.log1);
  const Recovered log1Alone = Recover(dirty.primary, log1, {});
  ASSERT_EQ(log1Alone.recovery.entriesApplied, 2u);

  // LOG2 numbered on from one past the next entry: a gap, so it is left out.
  ++dirty.log2.sequence;
  for (LogEntry& entry : dirty.log2.entries) ++entry.sequence;
  const auto [recovery, recovered] = Recover(dirty.primary, log1, image::WriteLog(dirty.primary, dirty.log2));
  EXPECT_EQ(recovery.entriesApplied, 2u);
  EXPECT_EQ(recovery.lastSequence, dirty.log1.entries.back().sequence);
  EXPECT_TRUE(SameBytes(recovered, log1Alone.image));
  EXPECT_FALSE(SameBytes(recovered, clean));
}

struct StopCase {
  const char* name;
  void (*breakEntry)(LogEntry&);
};

void PrintTo(const StopCase& test, std::ostream* out) { *out << test.name; }

class StopsAtABadEntry : public testing::TestWithParam<StopCase> {};

// The bad entry is placed first in LOG1, inside LOG1, first in LOG2 and
// inside LOG2; the entries before it must stay applied, exactly as if the
// logs ended there, and none after it.
TEST_P(StopsAtABadEntry, KeepingTheEntriesBeforeIt) {
  const Bytes clean = CleanHive(20);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {3, 2, 3, 0, 0});
  struct Position {
    bool inLog2;
    std::size_t entry;
    std::uint32_t entriesBefore;
  };
  for (const Position position :
       {Position{false, 0, 0}, Position{false, 1, 1}, Position{true, 0, 3}, Position{true, 1, 4}}) {
    SCOPED_TRACE(testing::Message() << (position.inLog2 ? "LOG2" : "LOG1") << " entry " << position.entry);
    DirtyHive broken = dirty;
    DirtyHive truncated = dirty;
    LogContents& brokenLog = position.inLog2 ? broken.log2 : broken.log1;
    LogContents& truncatedLog = position.inLog2 ? truncated.log2 : truncated.log1;
    GetParam().breakEntry(brokenLog.entries[position.entry]);
    truncatedLog.entries.resize(position.entry);

    const auto [recovery, recovered] = Recover(broken);
    const Recovered expected = Recover(truncated);
    EXPECT_EQ(recovery.entriesApplied, position.entriesBefore);
    EXPECT_EQ(expected.recovery.entriesApplied, position.entriesBefore);
    EXPECT_TRUE(SameBytes(recovered, expected.image));
    if (position.entriesBefore == 0) {
      EXPECT_TRUE(SameBytes(recovered, dirty.primary));
    } else {
      EXPECT_EQ(recovery.lastSequence, 20 - 5 + position.entriesBefore);
      EXPECT_FALSE(SameBytes(recovered, dirty.primary));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StopsAtABadEntry,
    testing::Values(
        StopCase{"BadSignature", [](LogEntry& e) { e.fault = LogEntryFault::BadSignature; }},
        StopCase{"SizeBelow512", [](LogEntry& e) { e.fault = LogEntryFault::SizeBelow512; }},
        StopCase{"SizeNotMultipleOf512", [](LogEntry& e) { e.fault = LogEntryFault::SizeNotMultipleOf512; }},
        StopCase{"HiveBinsSizeNotMultipleOf4096", [](LogEntry& e) { e.hiveBinsSize += 512; }},
        StopCase{"ZeroPageCount", [](LogEntry& e) { e.pages.clear(); }},
        StopCase{"BadHash1", [](LogEntry& e) { e.fault = LogEntryFault::BadHash1; }},
        StopCase{"BadHash2", [](LogEntry& e) { e.fault = LogEntryFault::BadHash2; }},
        StopCase{"SequenceOfThePreviousEntry", [](LogEntry& e) { --e.sequence; }},
        StopCase{"SequenceOneTooFar", [](LogEntry& e) { ++e.sequence; }},
        StopCase{"PageCrossesTheEndOfTheHiveBins", [](LogEntry& e) { e.pages.back().offset = e.hiveBinsSize - 2048; }},
        StopCase{"NoHiveBins",
                 [](LogEntry& e) {
                   e.hiveBinsSize = 0;
                   e.pages = {{0, {}}};
                 }},
        StopCase{"HiveBinsGrowByAPageNothingFills", [](LogEntry& e) { e.hiveBinsSize += 4096; }},
        StopCase{"HiveBinsGrowBeyondTheFiles", [](LogEntry& e) { e.hiveBinsSize += 64 * 4096; }}),
    [](const testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST(RecoverFromLogs, StopsAtAnEntryThatRunsPastTheEndOfTheFile) {
  const Bytes clean = CleanHive(20);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {2, 1, 2, 0, 0});
  Bytes log1 = image::WriteLog(dirty.primary, dirty.log1);
  log1.resize(log1.size() - 512);
  const auto [recovery, recovered] = Recover(dirty.primary, log1, image::WriteLog(dirty.primary, dirty.log2));
  EXPECT_EQ(recovery.entriesApplied, 1u);
}

// Page references the writer would never produce, under valid hashes. The
// second entry logs two pages of 4096 bytes; its first page is stretched.
TEST(RecoverFromLogs, StopsAtPageReferencesOutsideTheEntry) {
  const Bytes clean = CleanHive(20);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {2, 0, 2, 0, 0});
  const Bytes goodLog = image::WriteLog(dirty.primary, dirty.log1);
  const std::size_t second = EntryOffsets(goodLog).at(1);
  ASSERT_EQ(Field(goodLog, second + kLogEntryPageCountOffset), 2u);
  const std::uint32_t pagesRoom = Field(goodLog, second + kLogEntrySizeOffset) - 56;
  struct Reference {
    const char* name;
    std::size_t field;
    std::uint32_t value;
    std::uint32_t entriesApplied;
  };
  for (const Reference reference :
       {Reference{"page count beyond the entry", kLogEntryPageCountOffset, 0x1FFFFFFF, 1},
        Reference{"page size of 4 GiB", kLogEntryHeaderSize + 4, 0xFFFFF000, 1},
        Reference{"pages one byte longer than the entry", kLogEntryHeaderSize + 4, pagesRoom - 4096 + 1, 1},
        Reference{"pages filling the entry to its last byte", kLogEntryHeaderSize + 4, pagesRoom - 4096, 2}}) {
    SCOPED_TRACE(reference.name);
    Bytes log = goodLog;
    SetEntryField(log, second, reference.field, reference.value);
    EXPECT_EQ(Recover(dirty.primary, log, {}).recovery.entriesApplied, reference.entriesApplied);
  }
}

// A log Windows would not read is no log: the hive stays dirty and is refused.
TEST(RecoverFromLogs, AppliesNothingFromUnusableLogs) {
  const Bytes clean = CleanHive(3);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {});
  struct Unusable {
    const char* name;
    void (*spoil)(Bytes&);
  };
  for (const Unusable unusable :
       {Unusable{"missing", [](Bytes& log) { log.clear(); }},
        Unusable{"shorter than a log base block", [](Bytes& log) { log.resize(511); }},
        Unusable{"old format, file type 1",
                 [](Bytes& log) { WriteLittleEndian32(log, kFileTypeOffset, 1), Reseal(log); }},
        Unusable{"old format, file type 2",
                 [](Bytes& log) { WriteLittleEndian32(log, kFileTypeOffset, 2), Reseal(log); }},
        Unusable{"primary file type", [](Bytes& log) { WriteLittleEndian32(log, kFileTypeOffset, 0), Reseal(log); }},
        Unusable{"no regf signature", [](Bytes& log) { log[0] = 'x', Reseal(log); }},
        Unusable{"bad checksum", [](Bytes& log) { log[kChecksumOffset] ^= 1; }},
        Unusable{"sequence numbers differ", [](Bytes& log) {
                   WriteLittleEndian32(log, kSecondarySequenceOffset, Field(log, kPrimarySequenceOffset) + 1);
                   Reseal(log);
                 }}}) {
    SCOPED_TRACE(unusable.name);
    Bytes log1 = image::WriteLog(dirty.primary, dirty.log1);
    Bytes log2 = image::WriteLog(dirty.primary, dirty.log2);
    unusable.spoil(log1);
    unusable.spoil(log2);
    const auto [recovery, recovered] = Recover(dirty.primary, log1, log2);
    EXPECT_EQ(recovery.entriesApplied, 0u);
    EXPECT_TRUE(SameBytes(recovered, dirty.primary));
    SequenceRange range;
    AddLogSequences(log1, &range);
    EXPECT_EQ(range.NextNewer(), std::nullopt);
  }
}

// Every header byte of the first entry set to extreme values under valid
// hashes: recovery either refuses the entry or leaves a consistent hive.
// Under the sanitizers this also proves no read or write out of bounds.
TEST(RecoverFromLogs, SurvivesAnyValueInAnEntryHeader) {
  const Bytes clean = CleanHive(3);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {1, 0, 2, 0, 0});
  const Bytes goodLog = image::WriteLog(dirty.primary, dirty.log1);
  const std::size_t referencesEnd = kLogEntryHeaderSize + 2 * kLogEntryPageReferenceSize;
  for (std::size_t byte = 0; byte < referencesEnd; ++byte) {
    for (const std::uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      Bytes log = goodLog;
      const std::size_t field = byte / 4 * 4;
      std::uint32_t fieldValue = Field(log, kLogBaseBlockSize + field);
      fieldValue &= ~(0xFFu << (byte % 4 * 8));
      fieldValue |= std::uint32_t{value} << (byte % 4 * 8);
      if (field >= kLogEntryHash1Offset && field < kLogEntryHeaderSize) {
        WriteLittleEndian32(log, kLogBaseBlockSize + field, fieldValue);
      } else {
        SetEntryField(log, kLogBaseBlockSize, field, fieldValue);
      }
      const auto [recovery, recovered] = Recover(dirty.primary, log, {});
      if (recovery.entriesApplied == 0) {
        EXPECT_TRUE(SameBytes(recovered, dirty.primary)) << "byte " << byte;
      } else {
        EXPECT_EQ(CheckBaseBlock(recovered), BaseBlockState::Clean) << "byte " << byte;
        EXPECT_EQ(recovered.size(), kBaseBlockSize + Field(recovered, kHiveBinsSizeOffset)) << "byte " << byte;
      }
      SequenceRange range;
      AddLogSequences(log, &range);
    }
  }
}

// Windows takes the base block from the log with the latest entries and
// applies that log alone; each entry here logs the first page only, so
// LOG2's entries rebuild the hive without LOG1's.
TEST(RecoverFromLogs, ReplacesABaseBlockThatFailsItsChecksum) {
  const Bytes clean = CleanHive(20);
  DirtyHive dirty = image::MakeDirtyHive(clean, {1, 2, 1, 0, 0});
  const Bytes log1 = image::WriteLog(dirty.primary, dirty.log1);
  const Bytes log2 = image::WriteLog(dirty.primary, dirty.log2);
  Bytes torn = dirty.primary;
  WriteLittleEndian32(torn, kHiveBinsSizeOffset, 0xFFFFF000);
  ASSERT_EQ(CheckBaseBlock(torn), BaseBlockState::ChecksumMismatch);

  const auto [recovery, recovered] = Recover(torn, log1, log2);
  EXPECT_EQ(recovery.entriesApplied, 2u);
  EXPECT_EQ(recovery.lastSequence, 20u);
  EXPECT_TRUE(SameBytes(recovered, clean));

  // That log unusable, nothing applies.
  Bytes spoiledLog2 = log2;
  spoiledLog2[kChecksumOffset] ^= 1;
  EXPECT_EQ(Recover(torn, spoiledLog2, log1).recovery.entriesApplied, 1u);
  dirty.log2.entries.front().fault = LogEntryFault::BadHash1;
  EXPECT_EQ(Recover(torn, log1, image::WriteLog(dirty.primary, dirty.log2)).recovery.entriesApplied, 0u);
}

// Each regrowth is checked whole: a log that shrinks the hive to a page and
// grows it back, entry after entry, must not cost the square of its size.
TEST(RecoverFromLogs, BoundsTheChecksOfAHiveThatShrinksAndGrowsOverAndOver) {
  const Bytes clean = CleanHive(100);
  const DirtyHive dirty = image::MakeDirtyHive(clean, {1, 0, 1, 0, 0});
  const std::uint32_t binsSize = Field(clean, kHiveBinsSizeOffset);
  const Bytes firstPage(clean.begin() + kBaseBlockSize, clean.begin() + 2 * kBaseBlockSize);
  ASSERT_EQ(Field(firstPage, 8), 4096u) << "the first bin is one page";
  LogContents log{dirty.log1.sequence, {}};
  constexpr std::uint32_t kCycles = 20;
  for (std::uint32_t i = 0; i < 2 * kCycles; ++i) {
    log.entries.push_back(LogEntry{log.sequence + i, i % 2 == 0 ? 4096 : binsSize, 0, {{0, firstPage}}});
  }
  const Bytes logBytes = image::WriteLog(dirty.primary, log);
  Bytes primary = clean;
  WriteLittleEndian32(primary, kSecondarySequenceOffset, log.sequence);
  Reseal(primary);

  const auto [recovery, recovered] = Recover(primary, logBytes, {});
  // Every regrowth checks the whole hive but its first page.
  const std::uint64_t checkedPerCycle = binsSize - 4096;
  const std::uint64_t budget = 2 * (primary.size() + logBytes.size());
  EXPECT_EQ(recovery.entriesApplied, 2 * (budget / checkedPerCycle) + 1);
  EXPECT_LT(recovery.entriesApplied, 2 * kCycles);
}

TEST(SequenceRange, IsNewerThanEveryNumberPresentByWindowsRule) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> numbers;
    std::optional<std::uint32_t> next;
  };
  for (const Case& test : {
           Case{"nothing present", {}, std::nullopt},
           Case{"a clean hive alone", {0x90000000, 0x90000000}, 0x90000001},
           Case{"a dirty hive and its logs", {3, 2, 2, 3, 4, 1}, 5},
           Case{"across the wrap", {0xFFFFFFFE, 1, 0xFFFFFFFF, 0}, 2},
           Case{"as far apart as allowed", {0x10, 0x8000000Eu}, 0x8000000Fu},
           Case{"one too far apart", {0x10, 0x8000000Fu}, std::nullopt},
           Case{"half the ring apart", {0x60000000, 0xE0000000}, std::nullopt},
           Case{"spread in three steps", {0, 0x60000000, 0xC0000000}, std::nullopt},
       }) {
    for (const bool reversed : {false, true}) {
      SCOPED_TRACE(testing::Message() << test.name << (reversed ? ", reversed" : ""));
      SequenceRange range;
      std::vector<std::uint32_t> numbers = test.numbers;
      if (reversed) std::reverse(numbers.begin(), numbers.end());
      for (const std::uint32_t number : numbers) range.Add(number);
      EXPECT_EQ(range.NextNewer(), test.next);
      if (!test.next) continue;
      for (const std::uint32_t number : numbers) EXPECT_TRUE(SequenceIsLower(number, *test.next));
    }
  }
}

TEST(AddLogSequences, CountsEveryEntryHeaderButNotPageContents) {
  const Bytes clean = CleanHive(10);
  DirtyHive dirty = image::MakeDirtyHive(clean, {3, 1, 1, 0, 0});
  const auto next = [&](const LogContents& log) {
    SequenceRange range;
    AddLogSequences(image::WriteLog(dirty.primary, log), &range);
    return range.NextNewer();
  };
  EXPECT_EQ(next(dirty.log1), 10u);
  EXPECT_EQ(next(dirty.log2), 11u);
  EXPECT_EQ(next(LogContents{12, {}}), 13u);

  // An entry recovery stops at, and the stale one after it, still count.
  dirty.log1.entries[1].fault = LogEntryFault::BadHash1;
  EXPECT_EQ(next(dirty.log1), 10u);

  // A page of the first entry made of would-be entry headers, one of them at
  // every multiple of 512 in the file.
  Bytes& page = dirty.log1.entries[0].pages.at(0).bytes;
  for (std::size_t offset = 0; offset < page.size(); offset += 16) {
    std::copy_n("HvLE", 4, page.begin() + static_cast<std::ptrdiff_t>(offset));
    WriteLittleEndian32(page, offset + kLogEntrySizeOffset, 512);
    WriteLittleEndian32(page, offset + kLogEntrySequenceOffset, 0x70000000);
  }
  EXPECT_EQ(next(dirty.log1), 10u);
}

TEST(SequenceIsLower, CountsPastTheWrap) {
  EXPECT_TRUE(SequenceIsLower(2, 3));
  EXPECT_FALSE(SequenceIsLower(3, 3));
  EXPECT_TRUE(SequenceIsLower(0xFFFFFFFF, 0));
  EXPECT_FALSE(SequenceIsLower(0, 0xFFFFFFFF));
  EXPECT_TRUE(SequenceIsLower(0, 0x7FFFFFFF));
  // Half the ring apart, neither is newer.
  EXPECT_FALSE(SequenceIsLower(0x80000000, 0));
  EXPECT_FALSE(SequenceIsLower(0, 0x80000000));
}

}  // namespace
}  // namespace tessaly::hive
