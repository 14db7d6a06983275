// Hives as Windows leaves them after a crash or power loss: the primary
// file behind its transaction logs. The run recovers them the way Windows
// does, never writes the logs, and saves a hive that needs no log to open.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "hive_contents.h"
#include "hive/base_block.h"
#include "hive/log_recovery.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/log_writer.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-dirty-hive_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint32_t Le32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

class DirtyHiveTest : public testing::Test {
 protected:
  // A component with one false claim (when `damaged`), written clean, then
  // made dirty: the primary's logged pages are garbage until recovery. A
  // key of large values beside the components makes a hive of a dozen pages.
  void WriteDirtyImage(bool damaged, image::DirtyHiveShape shape = {1, 1, 4}) {
    image_.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue(RecordName(u"a.dll"), damaged ? 0x02 : 0x00),
                                     DwordValue(RecordName(u"b.dll"), 0x20)});
    for (int i = 0; i < 12; ++i) {
      Subkey(image_.components, "Filler")
          .values.push_back(image::BinaryValue("v" + std::to_string(i), std::vector<std::uint8_t>(3000, 0x5A)));
    }
    image_.AddFile(std::string(kComponent) + "/a.dll", "MZ\x90");
    image_.AddFile(std::string(kComponent) + "/b.dll", "DCS");
    image_.Write();
    recovered_ = ReadFileBytes(image_.HivePath());
    ASSERT_TRUE(image::MakeHiveFileDirty(image_.HivePath(), shape));
    ASSERT_EQ(hive::CheckBaseBlock(Bytes(ReadFileBytes(image_.HivePath()))), hive::BaseBlockState::Dirty);
  }

  void WriteFile(const fs::path& file, std::span<const std::uint8_t> bytes) const {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  // Repaired, and saved as the recovered hive but for the record's byte.
  void ExpectRepairedAsRecovered() {
    const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
    EXPECT_EQ(run.output, Banner() + RepairedLine(image_, std::string(kComponent) + "\\a.dll") + RepairedSummary());
    const std::string saved = ReadFileBytes(image_.HivePath());
    ASSERT_EQ(saved.size(), recovered_.size());
    std::size_t changed = 0;
    for (std::size_t i = hive::kBaseBlockSize; i < saved.size(); ++i) changed += saved[i] != recovered_[i];
    EXPECT_EQ(changed, 1u);
  }

  fs::path Log(const char* suffix) const { return image_.ConfigDirectory() / (std::string("COMPONENTS") + suffix); }

  TestImage image_;
  std::string recovered_;  // the clean hive the logs lead back to
};

TEST_F(DirtyHiveTest, IsRecoveredRepairedAndSavedSoThatItOpensWithoutItsLogs) {
  WriteDirtyImage(true);
  const std::string primary = ReadFileBytes(image_.HivePath());
  const std::string log1 = ReadFileBytes(Log(".LOG1"));
  const std::string log2 = ReadFileBytes(Log(".LOG2"));

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() + RepairedLine(image_, std::string(kComponent) + "\\a.dll") + RepairedSummary());
  ASSERT_EQ(run.exitStatus, 0);

  // The logs are never written; the original stays whole as the backup.
  EXPECT_EQ(ReadFileBytes(Log(".LOG1")), log1);
  EXPECT_EQ(ReadFileBytes(Log(".LOG2")), log2);
  EXPECT_EQ(ReadFileBytes(image_.ConfigDirectory() / "COMPONENTS.tessaly-backup"), primary);
  // Beside the backup, copies of the logs: Windows writes logs in place, so
  // a second link would change with them.
  for (const char* suffix : {".LOG1", ".LOG2"}) {
    const fs::path copy = image_.ConfigDirectory() / (std::string("COMPONENTS.tessaly-backup") + suffix);
    EXPECT_EQ(ReadFileBytes(copy), suffix == std::string(".LOG1") ? log1 : log2);
    struct stat copyStatus {};
    struct stat logStatus {};
    ASSERT_EQ(stat(copy.c_str(), &copyStatus), 0);
    ASSERT_EQ(stat(Log(suffix).c_str(), &logStatus), 0);
    EXPECT_NE(copyStatus.st_ino, logStatus.st_ino);
  }

  // The saved hive is the recovered one but for the record's byte and a
  // clean base block newer than anything in the logs.
  const std::string saved = ReadFileBytes(image_.HivePath());
  ASSERT_EQ(saved.size(), recovered_.size());
  EXPECT_EQ(hive::CheckBaseBlock(Bytes(saved)), hive::BaseBlockState::Clean);
  std::size_t changed = 0;
  for (std::size_t i = hive::kBaseBlockSize; i < saved.size(); ++i) changed += saved[i] != recovered_[i];
  EXPECT_EQ(changed, 1u);
  hive::SequenceRange logged;
  for (const std::string* log : {&log1, &log2}) hive::AddLogSequences(Bytes(*log), &logged);
  EXPECT_EQ(logged.NextNewer(), Le32(saved, 4));

  // Opened with no log beside it, the saved hive holds the repair.
  fs::remove(Log(".LOG1"));
  fs::remove(Log(".LOG2"));
  EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, RecordName(u"a.dll")), 0x00u);
  EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, RecordName(u"b.dll")), 0x20u);
  const ToolRun again = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(again.output, Banner() + NothingFoundSummary());
}

// Windows brings it up to date at its next start; nothing of it is written here.
TEST_F(DirtyHiveTest, WithNothingToRepairIsLeftAsItIs) {
  WriteDirtyImage(false);
  const auto before = FolderContents(image_.ConfigDirectory());
  struct stat directoryBefore {};
  ASSERT_EQ(stat(image_.ConfigDirectory().c_str(), &directoryBefore), 0);

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());

  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
  struct stat directoryAfter {};
  ASSERT_EQ(stat(image_.ConfigDirectory().c_str(), &directoryAfter), 0);
  EXPECT_EQ(directoryAfter.st_mtim.tv_nsec, directoryBefore.st_mtim.tv_nsec);
  EXPECT_EQ(directoryAfter.st_mtim.tv_sec, directoryBefore.st_mtim.tv_sec);
}

TEST_F(DirtyHiveTest, WithoutUsableLogsIsRefusedAndNothingIsWritten) {
  WriteDirtyImage(true);
  fs::remove(Log(".LOG2"));
  // LOG2 is gone and LOG1 claims the format before Windows 8.1, which is
  // not read: no usable log is left.
  std::string log1 = ReadFileBytes(Log(".LOG1"));
  log1[0x1C] = 2;
  std::ofstream(Log(".LOG1"), std::ios::binary | std::ios::trunc) << log1;
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() + "COMPONENTS注册表无法加载，lStatus=0x000003F7。无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0xF7);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
}

// Since Windows 8.1 the kernel may write the bins of a grown hive before its
// base block: the entry that grows the hive carries none of those pages.
TEST_F(DirtyHiveTest, APrimaryFileAheadOfItsBaseBlockIsRecoveredFromTheFileWhole) {
  WriteDirtyImage(true, {1, 1, 1, 0, 0, 3});
  ExpectRepairedAsRecovered();
}

// A crash tore the base block: Windows takes it from the log with the
// latest entries, and applies that log alone; here LOG2's entries rebuild
// every page LOG1's would.
TEST_F(DirtyHiveTest, ABaseBlockThatFailsItsChecksumIsTakenFromTheNewestLog) {
  WriteDirtyImage(true, {1, 2, 1});
  std::string primary = ReadFileBytes(image_.HivePath());
  primary[0x0C] ^= 1;  // the last-written time, covered by the checksum
  std::ofstream(image_.HivePath(), std::ios::binary | std::ios::trunc) << primary;
  ExpectRepairedAsRecovered();
}

// Without the log it cannot read, recovery might stop at a state that log
// has gone past; a log that is there is never taken for a missing one.
TEST_F(DirtyHiveTest, ALogThatCannotBeReadIsAnError) {
  WriteDirtyImage(true);
  fs::remove(Log(".LOG2"));
  fs::create_directory(Log(".LOG2"));
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() + "COMPONENTS注册表无法加载，lStatus=0x000003F8。无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0xF8);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
}

// A dirty hive is read whole, so a file longer than any hive could be
// (here a sparse one past 4 GiB) is refused before anything is read, not
// read into memory.
TEST_F(DirtyHiveTest, AFileLongerThanAnyHiveIsRefusedUnread) {
  WriteDirtyImage(true);
  fs::resize_file(image_.HivePath(), (std::uintmax_t{4} << 30) + 2 * hive::kBaseBlockSize);

  const ToolRun run = RunTessaly({"--dry-run", image_.WindowsDirectory().string()}, kBoundedMemory);
  EXPECT_EQ(run.output, Banner() + "COMPONENTS注册表无法加载，lStatus=0x000003F1。无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0xF1);
}

// Windows replays a log whose sequence number is not older than the hive's:
// the saved number must be newer than all of them, and when the numbers
// spread over half the ring none is, so no repair starts. A dry run, which
// saves nothing, still lists what it finds.
TEST_F(DirtyHiveTest, LogsHalfTheRingApartLeaveNoNumberToSaveUnder) {
  WriteDirtyImage(true, {2, 0, 4});
  const std::string primary = ReadFileBytes(image_.HivePath());
  const std::uint32_t log1Sequence = Le32(ReadFileBytes(Log(".LOG1")), 4);
  WriteFile(Log(".LOG2"), image::WriteLog(Bytes(primary), {log1Sequence + 0x80000000u, {}}));
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() +
                            "COMPONENTS及其日志中的序列号相差过大，修复后的注册表无法保存为比它们都新的版本，"
                            "Windows会用日志覆盖修复，因此不执行修复。\n"
                            "COMPONENTS注册表无法加载，lStatus=0x000003F7。无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0xF7);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);

  const ToolRun dryRun = RunTessaly({"--dry-run", image_.WindowsDirectory().string()});
  EXPECT_EQ(dryRun.output, Banner() + ListedLine(image_, std::string(kComponent) + "\\a.dll") + DryRunSummary(1));
  EXPECT_EQ(dryRun.exitStatus, 0);
}

// A clean hive is saved one past its own sequence number: Windows reads no
// log of a clean hive, so stale logs beside it neither count nor are read.
TEST(CleanHiveSequenceTest, IsSavedOnePastItsOwnNumber) {
  struct Case {
    const char* name;
    std::uint32_t sequence;
    bool staleLogs;
  };
  for (const Case test : {Case{"no logs", 0x90000000, false}, Case{"stale logs", 0x10, true}}) {
    SCOPED_TRACE(test.name);
    TestImage image;
    image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue(RecordName(u"a.dll"), 0x02)});
    image.AddFile(std::string(kComponent) + "/a.dll", "MZ\x90");
    image.Write();
    std::string hive = ReadFileBytes(image.HivePath());
    std::vector<std::uint8_t> baseBlock(hive.begin(), hive.begin() + hive::kBaseBlockSize);
    hive::SealBaseBlock(baseBlock, test.sequence);
    std::copy(baseBlock.begin(), baseBlock.end(), hive.begin());
    std::ofstream(image.HivePath(), std::ios::binary | std::ios::trunc) << hive;
    if (test.staleLogs) {
      const std::uint32_t binsSize = Le32(hive, 0x28);
      const std::vector<std::uint8_t> firstPage(hive.begin() + hive::kBaseBlockSize,
                                                hive.begin() + 2 * hive::kBaseBlockSize);
      for (const char* suffix : {".LOG1", ".LOG2"}) {
        const std::vector<std::uint8_t> log =
            image::WriteLog(baseBlock, {0x50, {image::LogEntry{0x50, binsSize, 0, {{0, firstPage}}}}});
        std::ofstream(image.ConfigDirectory() / (std::string("COMPONENTS") + suffix), std::ios::binary)
            .write(reinterpret_cast<const char*>(log.data()), static_cast<std::streamsize>(log.size()));
      }
    }

    const ToolRun run = RunTessaly({image.WindowsDirectory().string()});
    EXPECT_EQ(run.output, Banner() + RepairedLine(image, std::string(kComponent) + "\\a.dll") + RepairedSummary());
    const std::string saved = ReadFileBytes(image.HivePath());
    EXPECT_EQ(Le32(saved, 4), test.sequence + 1);
    EXPECT_EQ(Le32(saved, 8), test.sequence + 1);
    EXPECT_FALSE(fs::exists(image.ConfigDirectory() / "COMPONENTS.tessaly-backup.LOG1"));
  }
}

// SOFTWARE is only read: recovered in memory, its files untouched.
TEST_F(DirtyHiveTest, ADirtySoftwareHiveIsReadAsRecovered) {
  WriteDirtyImage(true);
  const fs::path software = image_.ConfigDirectory() / "SOFTWARE";
  ASSERT_TRUE(image::MakeHiveFileDirty(software, image::DirtyHiveShape{}));
  const std::string softwareBytes = ReadFileBytes(software);

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});
  EXPECT_EQ(run.output, Banner() + RepairedLine(image_, std::string(kComponent) + "\\a.dll") + RepairedSummary());
  EXPECT_EQ(ReadFileBytes(software), softwareBytes);
}

}  // namespace
}  // namespace tessaly::offline_test
