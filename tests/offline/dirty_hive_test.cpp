// Hives as Windows leaves them after a crash or power loss: the primary
// file behind its transaction logs. The run recovers them the way Windows
// does, never writes the logs, and saves a hive that needs no log to open.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "hive_contents.h"
#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/log_recovery.h"
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
  // made dirty: the primary's logged pages are garbage until recovery.
  void WriteDirtyImage(bool damaged) {
    image_.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue(RecordName(u"a.dll"), damaged ? 0x02 : 0x00),
                                     DwordValue(RecordName(u"b.dll"), 0x20)});
    image_.AddFile(std::string(kComponent) + "/a.dll", "MZ\x90");
    image_.AddFile(std::string(kComponent) + "/b.dll", "DCS");
    image_.Write();
    recovered_ = ReadFileBytes(image_.HivePath());
    image::DirtyHiveShape shape;
    shape.pagesPerEntry = 4;
    ASSERT_TRUE(image::MakeHiveFileDirty(image_.HivePath(), shape));
    ASSERT_EQ(offline::CheckBaseBlock(Bytes(ReadFileBytes(image_.HivePath()))), offline::BaseBlockState::Dirty);
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
  EXPECT_EQ(offline::CheckBaseBlock(Bytes(saved)), offline::BaseBlockState::Clean);
  std::size_t changed = 0;
  for (std::size_t i = offline::kBaseBlockSize; i < saved.size(); ++i) changed += saved[i] != recovered_[i];
  EXPECT_EQ(changed, 1u);
  for (const std::string* log : {&log1, &log2}) {
    EXPECT_TRUE(offline::SequenceIsLower(offline::HighestLogSequence(Bytes(*log)), Le32(saved, 4)));
  }

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
