// How a run's changes reach the hive file: a backup first, the new hive
// renamed over the old, nothing written when nothing changed, and the
// original untouched when the save fails.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "hive_contents.h"
#include "hive/base_block.h"
#include "hive/little_endian.h"
#include "save_messages.h"
#include "test_image.h"
#include "tool_run.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-save-test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;
const std::string kBackupName = "COMPONENTS.tessaly-backup";

struct stat StatusOf(const fs::path& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) ADD_FAILURE() << "cannot stat " << file;
  return status;
}

// A file whose two claims are both false: the first run clears the DCD
// claim only, the second the DCS claim, the third finds nothing.
TEST(RerunTest, EachRunClearsOneClaimUntilNothingIsLeft) {
  TestImage image;
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!both.dll", 0x0422),
                                  DwordValue("f!good.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "both.dll", "PA30");
  image.AddFile(fs::path(kComponent) / "good.dll", "DCD");
  image.Write();
  const std::string original = ReadFileBytes(image.HivePath());
  const std::string repairedLine = RepairedLine(image, std::string(kComponent) + "\\both.dll");

  const ToolRun first = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(first.output, Banner() + repairedLine + RepairedSummary());
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!both.dll"), 0x0420u);
  const std::string afterFirst = ReadFileBytes(image.HivePath());

  const ToolRun second = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(second.output, Banner() + repairedLine + RepairedSummary());
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!both.dll"), 0x0400u);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!good.dll"), 0x02u);

  // Each save kept what was there before it; no backup was overwritten.
  auto config = FolderContents(image.ConfigDirectory());
  ASSERT_EQ(config.size(), 4u) << "SOFTWARE, COMPONENTS and two backups";
  EXPECT_EQ(config[kBackupName], original);
  const auto secondBackup = std::find_if(config.begin(), config.end(), [](const auto& file) {
    return file.first.starts_with(kBackupName + "-");
  });
  ASSERT_NE(secondBackup, config.end());
  EXPECT_EQ(secondBackup->second, afterFirst);

  const struct stat beforeThird = StatusOf(image.HivePath());
  const struct stat configBeforeThird = StatusOf(image.ConfigDirectory());
  const ToolRun third = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(third.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(third.exitStatus, 0);
  // An image with nothing to repair is not written at all, its folder not
  // even touched by a check that it could be.
  const struct stat afterThird = StatusOf(image.HivePath());
  EXPECT_EQ(afterThird.st_ino, beforeThird.st_ino);
  EXPECT_EQ(afterThird.st_mtim.tv_sec, beforeThird.st_mtim.tv_sec);
  EXPECT_EQ(afterThird.st_mtim.tv_nsec, beforeThird.st_mtim.tv_nsec);
  const struct stat configAfterThird = StatusOf(image.ConfigDirectory());
  EXPECT_EQ(configAfterThird.st_mtim.tv_sec, configBeforeThird.st_mtim.tv_sec);
  EXPECT_EQ(configAfterThird.st_mtim.tv_nsec, configBeforeThird.st_mtim.tv_nsec);
  EXPECT_EQ(FolderContents(image.ConfigDirectory()), config);
}

TEST(SaveTest, TheSavedHiveKeepsTheOriginalsPermissions) {
  TestImage image;
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();
  fs::permissions(image.HivePath(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  ASSERT_EQ(RunTessaly({image.WindowsDirectory().string()}).exitStatus, 0);

  EXPECT_EQ(StatusOf(image.HivePath()).st_mode & 07777, 0640u);
  EXPECT_EQ(StatusOf(image.ConfigDirectory() / kBackupName).st_mode & 07777, 0640u);
}

// The config directory on a small tmpfs that the test fills up, so that the
// save runs out of space for real.
class FullDiskTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
    image_.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
    image_.Write();
    const fs::path config = image_.ConfigDirectory();
    const fs::path aside = image_.Root() / "config-aside";
    fs::rename(config, aside);
    fs::create_directory(config);
    if (mount("tessaly-test", config.c_str(), "tmpfs", 0, "size=4m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    mounted_ = true;
    for (const char* name : {"SOFTWARE", "COMPONENTS"}) fs::copy_file(aside / name, config / name);
  }

  void TearDown() override {
    if (mounted_) umount2(image_.ConfigDirectory().c_str(), MNT_DETACH);
  }

  // Fills the file system, then frees `spare` bytes again.
  void FillLeaving(std::size_t spare) {
    const fs::path config = image_.ConfigDirectory();
    {
      std::ofstream reserve(config / "reserve", std::ios::binary);
      reserve << std::string(spare, 'r');
    }
    const int filler = open((config / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'f');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);
    fs::remove(config / "reserve");
  }

  // The run is refused before the scan, so no repair is reported that
  // could not be kept; ERROR_DISK_FULL (112) is the code.
  void ExpectRefusedAndNothingChanged() {
    const fs::path config = image_.ConfigDirectory();
    const auto before = FolderContents(config);
    struct statvfs volume {};
    ASSERT_EQ(statvfs(config.c_str(), &volume), 0);
    const std::uint64_t available = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;

    const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

    EXPECT_EQ(run.output, NoRoomMessage(fs::file_size(image_.HivePath()) + kSaveSpaceMargin, available));
    EXPECT_EQ(run.exitStatus, 0x70);
    EXPECT_EQ(FolderContents(config), before);
    EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, "f!a.dll"), 0x02u);
  }

  TestImage image_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, NoRoomAtAll) {
  FillLeaving(0);
  ExpectRefusedAndNothingChanged();
}

TEST_F(FullDiskTest, RoomForTheHiveButNotTheMargin) {
  FillLeaving(fs::file_size(image_.HivePath()));
  ExpectRefusedAndNothingChanged();
}

// The space a save needs is measured on the hive as read, never on what
// its base block claims: a short, damaged hive gets the damaged-hive answer.
TEST_F(FullDiskTest, AShortHiveClaimingFourGibibytesIsCorruptNotTooLarge) {
  std::string hive = ReadFileBytes(image_.HivePath()).substr(0, 2 * hive::kBaseBlockSize);
  std::vector<std::uint8_t> baseBlock(hive.begin(), hive.begin() + hive::kBaseBlockSize);
  hive::WriteLittleEndian32(baseBlock, hive::kHiveBinsSizeOffset, 0xFFFFF000);
  hive::SealBaseBlock(baseBlock, 1);
  std::copy(baseBlock.begin(), baseBlock.end(), hive.begin());
  std::ofstream(image_.HivePath(), std::ios::binary | std::ios::trunc) << hive;
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + "COMPONENTS注册表无法加载，lStatus=0x000003F1。无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0xF1);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
}

// Leftovers of an interrupted save go before the space is measured: the
// room they took counts.
TEST_F(FullDiskTest, TheLeftoversOfAnInterruptedSaveMakeRoom) {
  {
    std::ofstream partial(image_.ConfigDirectory() / "COMPONENTS.tessaly-new", std::ios::binary);
    partial << std::string(kSaveSpaceMargin + (512 << 10), 'p');
  }
  FillLeaving(0);

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, LeftoversRemovedLine(1) + Banner() +
                            RepairedLine(image_, std::string(kComponent) + "\\a.dll") + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
}

}  // namespace
}  // namespace tessaly::offline_test
