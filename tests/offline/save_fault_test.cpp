// Saving under the failures file systems and crashes bring, injected into
// the real tool: an ordinary failure leaves the original hive and nothing
// else; a rename that takes effect but reports failure, a kill in the
// middle of a backup copy, a hive padded after its end and one the file
// system cannot map are each handled.

#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "hive_contents.h"
#include "save_messages.h"
#include "test_image.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-fault-test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;
const std::string kBackupName = "COMPONENTS.tessaly-backup";
// Hard links refused, as file systems without them do.
const std::string kNoHardLinks = "linkat@tessaly-backup=EPERM";
constexpr char kAttributeName[] = "user.tessaly-test";
constexpr char kAttributeValue[] = "kept";

class SaveFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
    image_.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
    image_.Write();
    original_ = ReadFileBytes(image_.HivePath());
  }

  ToolRun Run(const std::string& faults) const {
    return RunTessalyWithFaults({image_.WindowsDirectory().string()}, faults);
  }
  std::string Repaired() const { return RepairedLine(image_, std::string(kComponent) + "\\a.dll"); }
  // The folder holding the hive as it is now and the original as its one backup.
  std::map<std::string, std::string> HiveAndBackup() const {
    return {{"SOFTWARE", ReadFileBytes(image_.ConfigDirectory() / "SOFTWARE")},
            {"COMPONENTS", ReadFileBytes(image_.HivePath())},
            {kBackupName, original_}};
  }

  TestImage image_;
  std::string original_;
};

struct OrdinaryFailure {
  const char* name;
  std::string faults;
  const char* status;  // lStatus in the message
  int exitStatus;
  const char* reason = "";  // a line the save prints before its failure
};

void PrintTo(const OrdinaryFailure& row, std::ostream* out) { *out << row.name; }

class OrdinaryFailureTest : public SaveFaultTest, public testing::WithParamInterface<OrdinaryFailure> {};

TEST_P(OrdinaryFailureTest, LeavesTheOriginalHiveAndNothingElse) {
  // An attribute the new hive has to carry, so that carrying it can fail.
  if (setxattr(image_.HivePath().c_str(), kAttributeName, kAttributeValue, 4, 0) != 0) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = Run(GetParam().faults);

  EXPECT_EQ(run.output, Banner() + Repaired() + GetParam().reason + SaveFailedMessage(GetParam().status));
  EXPECT_EQ(run.exitStatus, GetParam().exitStatus);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
  char value[16] = {};
  EXPECT_EQ(getxattr(image_.HivePath().c_str(), kAttributeName, value, sizeof(value)), 4);
  EXPECT_STREQ(value, kAttributeValue);
}

INSTANTIATE_TEST_SUITE_P(
    Offline, OrdinaryFailureTest,
    testing::Values(OrdinaryFailure{"BackupFolderNotFlushed", "fsync@System32/config=EIO", "0x000003F8", 0xF8},
                    OrdinaryFailure{"BackupCopyNotFlushed", kNoHardLinks + ";fsync@tessaly-new=EIO", "0x000003F8",
                                    0xF8},
                    OrdinaryFailure{"NewHiveNotFlushed", "fsync@tessaly-new=EIO", "0x000003F8", 0xF8},
                    OrdinaryFailure{"VolumeFullWhileWriting", "write@tessaly-new=ENOSPC", "0x00000070", 0x70},
                    // Would repeat the write forever, were it taken for progress.
                    OrdinaryFailure{"WriteTakesNoBytes", kNoHardLinks + ";write@COMPONENTS.tessaly=zero", "0x000003F8",
                                    0xF8},
                    OrdinaryFailure{"AttributeRefused", "fsetxattr@tessaly-new=EOPNOTSUPP", "0x00000005", 0x05,
                                    kMetadataNotKeptLine},
                    OrdinaryFailure{"AttributeAcceptedButNotKept", "fsetxattr@tessaly-new=skip", "0x00000005", 0x05,
                                    kMetadataNotKeptLine},
                    OrdinaryFailure{"RenameRefused", "renameat@COMPONENTS=EIO", "0x000003F8", 0xF8}),
    [](const testing::TestParamInfo<OrdinaryFailure>& info) { return info.param.name; });

// Network and FUSE file systems can report a rename that took place as
// failed: the hive then holds the repair, and the backup is the only copy
// of the original.
TEST_F(SaveFaultTest, ARenameThatTakesEffectButReportsFailureKeepsTheBackup) {
  const ToolRun run = Run("renameat@COMPONENTS=after-EIO");

  EXPECT_EQ(run.output, Banner() + Repaired() + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, "f!a.dll"), 0x00u);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), HiveAndBackup());
}

// Where there are no hard links the backup is a copy; a kill while it is
// written must not leave a partial file under a backup name, and the next
// run removes what it left.
TEST_F(SaveFaultTest, AKillWhileTheBackupIsCopiedLeavesNoBackupName) {
  // One job: no hive written ahead, whose file the kill may or may not find.
  const ToolRun killed =
      RunTessalyWithFaults({"-j", "1", image_.WindowsDirectory().string()}, kNoHardLinks + ";write@COMPONENTS.tessaly=kill");
  ASSERT_EQ(killed.exitStatus, -1) << killed.output;

  const ToolRun next = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(next.output, LeftoversRemovedLine(1) + Banner() + Repaired() + RepairedSummary());
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), HiveAndBackup());
}

// Where the hive cannot be mapped and read in at once (here, as on a kernel
// before Linux 5.14), it is read instead, to the same repair.
TEST_F(SaveFaultTest, AHiveThatCannotBeMappedIsReadInstead) {
  const ToolRun run = Run("madvise@MADV_POPULATE_READ=EINVAL");

  EXPECT_EQ(run.output, Banner() + Repaired() + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, "f!a.dll"), 0x00u);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), HiveAndBackup());
}

// A copy holds the hive's extent (base block and hive bins), not what pads
// the file after it.
TEST_F(SaveFaultTest, ABackupCopyHoldsTheHiveWithoutItsPadding) {
  constexpr std::uintmax_t kPadding = 16 << 20;
  fs::resize_file(image_.HivePath(), original_.size() + kPadding);

  const ToolRun run = Run(kNoHardLinks);

  ASSERT_EQ(run.exitStatus, 0) << run.output;
  EXPECT_EQ(ReadFileBytes(image_.ConfigDirectory() / kBackupName), original_);
}

// A backup left by an earlier run that holds the hive's bytes is the backup
// of this save too; no second one is made.
// The run reads and saves the file that the hive's name holds once it is
// locked, not one that another program put aside between the open and the
// lock.
TEST_F(SaveFaultTest, AHiveReplacedBeforeTheLockIsReadAsReplaced) {
  TestImage replacement;
  replacement.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x00)});
  replacement.Write();
  const std::string replacementBytes = ReadFileBytes(replacement.HivePath());
  fs::copy_file(replacement.HivePath(), image_.ConfigDirectory() / "COMPONENTS.replacement");

  const ToolRun run = Run("flock@COMPONENTS=replace-first");

  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(ReadFileBytes(image_.HivePath()), replacementBytes);
  EXPECT_FALSE(fs::exists(image_.ConfigDirectory() / kBackupName));
}

TEST_F(SaveFaultTest, ABackupThatHoldsTheOriginalIsKeptAsItIs) {
  fs::copy_file(image_.HivePath(), image_.ConfigDirectory() / kBackupName);

  ASSERT_EQ(RunTessaly({image_.WindowsDirectory().string()}).exitStatus, 0);

  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), HiveAndBackup());
}

}  // namespace
}  // namespace tessaly::offline_test
