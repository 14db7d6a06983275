// Saving on a real NTFS volume, mounted with ntfs-3g as a rescue system
// mounts a Windows partition: the hive keeps its Windows security
// descriptor and attributes, a volume without room is refused before
// anything is repaired, an interrupted save leaves nothing that stays, and
// a read-only volume is named as such.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "hive_contents.h"
#include "ntfs_volume.h"
#include "save_messages.h"
#include "test_image.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-ntfs-test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;
const std::string kBackupName = "COMPONENTS.tessaly-backup";
constexpr std::uint64_t kVolumeSize = 16 << 20;

using Bytes = std::vector<std::uint8_t>;

void Append32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A SID S-1-5-<subauthorities...>.
Bytes NtAuthoritySid(std::initializer_list<std::uint32_t> subauthorities) {
  Bytes sid = {1, static_cast<std::uint8_t>(subauthorities.size()), 0, 0, 0, 0, 0, 5};
  for (const std::uint32_t subauthority : subauthorities) Append32(sid, subauthority);
  return sid;
}

// What Windows gives a hive file: owned by Administrators, a protected DACL
// granting SYSTEM and Administrators full control and Users read access.
Bytes WindowsHiveSecurityDescriptor() {
  const Bytes system = NtAuthoritySid({18});
  const Bytes administrators = NtAuthoritySid({32, 544});
  const Bytes users = NtAuthoritySid({32, 545});
  constexpr std::uint32_t kFullControl = 0x001F01FF;
  constexpr std::uint32_t kRead = 0x00120089;

  Bytes aces;
  std::uint16_t aceCount = 0;
  for (const auto& [sid, mask] : {std::pair{system, kFullControl}, std::pair{administrators, kFullControl},
                                  std::pair{users, kRead}}) {
    const auto size = static_cast<std::uint16_t>(8 + sid.size());
    constexpr std::uint8_t kAccessAllowed = 0;
    aces.insert(aces.end(),
                {kAccessAllowed, 0, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8)});
    Append32(aces, mask);
    aces.insert(aces.end(), sid.begin(), sid.end());
    ++aceCount;
  }
  const auto aclSize = static_cast<std::uint16_t>(8 + aces.size());
  Bytes acl = {2, 0, static_cast<std::uint8_t>(aclSize), static_cast<std::uint8_t>(aclSize >> 8),
               static_cast<std::uint8_t>(aceCount), 0, 0, 0};
  acl.insert(acl.end(), aces.begin(), aces.end());

  constexpr std::uint16_t kSelfRelativeProtectedDacl = 0x8000 | 0x1000 | 0x0004;
  const auto ownerOffset = std::uint32_t{20};
  const auto groupOffset = static_cast<std::uint32_t>(ownerOffset + administrators.size());
  const auto daclOffset = static_cast<std::uint32_t>(groupOffset + system.size());
  Bytes descriptor = {1, 0, kSelfRelativeProtectedDacl & 0xFF, kSelfRelativeProtectedDacl >> 8};
  // Owner, group, SACL (none), DACL.
  for (const std::uint32_t offset : {ownerOffset, groupOffset, std::uint32_t{0}, daclOffset}) {
    Append32(descriptor, offset);
  }
  descriptor.insert(descriptor.end(), administrators.begin(), administrators.end());
  descriptor.insert(descriptor.end(), system.begin(), system.end());
  descriptor.insert(descriptor.end(), acl.begin(), acl.end());
  return descriptor;
}

std::optional<Bytes> ReadAttribute(const fs::path& file, const char* name) {
  Bytes value(65536);
  const ssize_t size = getxattr(file.c_str(), name, value.data(), value.size());
  if (size < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(size));
  return value;
}

// The image's config folder on an NTFS volume of its own.
class NtfsSaveTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = NtfsVolume::WhyUnavailable(); !why.empty()) GTEST_SKIP() << why;
    image_.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
    image_.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
    image_.Write();
    const fs::path config = image_.ConfigDirectory();
    const fs::path aside = image_.Root() / "config-aside";
    fs::rename(config, aside);
    fs::create_directory(config);
    volume_.emplace(image_.Root() / "ntfs.img", config, kVolumeSize);
    for (const char* name : {"SOFTWARE", "COMPONENTS"}) fs::copy_file(aside / name, config / name);
    original_ = ReadFileBytes(image_.HivePath());
  }

  void TearDown() override { volume_.reset(); }

  std::string Repaired() const { return RepairedLine(image_, std::string(kComponent) + "\\a.dll"); }

  // Fills the volume, then frees `spare` bytes again.
  void FillLeaving(std::uint64_t spare) {
    const fs::path filler = image_.ConfigDirectory() / "filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(65536, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    const off_t full = lseek(fd, 0, SEEK_END);
    ASSERT_EQ(ftruncate(fd, full - static_cast<off_t>(spare)), 0);
    close(fd);
  }

  TestImage image_;
  std::optional<NtfsVolume> volume_;
  std::string original_;
};

// With a hard link for a backup, and with a copy where links are refused.
class NtfsSecurityTest : public NtfsSaveTest, public testing::WithParamInterface<const char*> {};

TEST_P(NtfsSecurityTest, TheHivesSecurityDescriptorAndAttributesSurviveByteForByte) {
  const std::array<std::pair<const char*, Bytes>, 4> attributes = {{
      {"system.ntfs_acl", WindowsHiveSecurityDescriptor()},
      {"system.ntfs_attrib", {0x26, 0, 0, 0}},  // hidden, system, archive
      {"system.ntfs_crtime", {0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0xD5, 0x01}},
      {"user.tessaly-stream", {'k', 'e', 'p', 't'}},  // an alternate data stream
  }};
  for (const auto& [name, value] : attributes) {
    ASSERT_EQ(setxattr(image_.HivePath().c_str(), name, value.data(), value.size(), 0), 0) << name;
  }
  struct stat original {};
  ASSERT_EQ(stat(image_.HivePath().c_str(), &original), 0);

  const ToolRun run = RunTessalyWithFaults({image_.WindowsDirectory().string()}, GetParam());

  ASSERT_EQ(run.output, Banner() + Repaired() + RepairedSummary());
  struct stat replaced {};
  ASSERT_EQ(stat(image_.HivePath().c_str(), &replaced), 0);
  EXPECT_NE(replaced.st_ino, original.st_ino) << "the hive was not replaced by a new file";
  EXPECT_EQ(ReadDword(image_.HivePath(), kComponentKey, "f!a.dll"), 0x00u);
  for (const fs::path& file : {image_.HivePath(), image_.ConfigDirectory() / kBackupName}) {
    for (const auto& [name, value] : attributes) {
      EXPECT_EQ(ReadAttribute(file, name), value) << file.filename() << " " << name;
    }
  }
  EXPECT_EQ(ReadFileBytes(image_.ConfigDirectory() / kBackupName), original_);
}

INSTANTIATE_TEST_SUITE_P(Offline, NtfsSecurityTest, testing::Values("", "linkat@tessaly-backup=EPERM"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).empty() ? "LinkedBackup" : "CopiedBackup";
                         });

TEST_F(NtfsSaveTest, AVolumeWithoutRoomForTheHiveIsRefusedBeforeAnyRepair) {
  FillLeaving(original_.size() / 2);
  const auto before = FolderContents(image_.ConfigDirectory());
  const std::uint64_t freeBefore = volume_->FreeBytes();

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, NoRoomMessage(original_.size() + kSaveSpaceMargin, freeBefore));
  EXPECT_EQ(run.exitStatus, 0x70);  // low byte of 0x80070070, ERROR_DISK_FULL
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
  EXPECT_EQ(volume_->FreeBytes(), freeBefore);
}

// Space can still run out during the save (here the check is told there is
// plenty): the files of the attempt are closed before they are removed, so
// that ntfs-3g frees their space.
TEST_F(NtfsSaveTest, AVolumeThatFillsDuringTheSaveIsLeftAsItWas) {
  FillLeaving(original_.size() / 2);
  const auto before = FolderContents(image_.ConfigDirectory());
  const std::uint64_t freeBefore = volume_->FreeBytes();

  const ToolRun run = RunTessalyWithFaults({image_.WindowsDirectory().string()}, "fstatvfs@System32/config=plenty");

  EXPECT_EQ(run.output, Banner() + Repaired() + SaveFailedMessage("0x00000070"));
  EXPECT_EQ(run.exitStatus, 0x70);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
  EXPECT_EQ(volume_->FreeBytes(), freeBefore);
}

TEST_F(NtfsSaveTest, AKilledSaveLeavesOnlyTheHiveAndOneBackupAfterTwoCleanRuns) {
  const ToolRun killed =
      RunTessalyWithFaults({image_.WindowsDirectory().string()}, "write@COMPONENTS.tessaly-new=kill");
  ASSERT_EQ(killed.exitStatus, -1) << killed.output;

  const ToolRun first = RunTessaly({image_.WindowsDirectory().string()});
  const ToolRun second = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(first.output, LeftoversRemovedLine(1) + Banner() + Repaired() + RepairedSummary());
  EXPECT_EQ(second.output, Banner() + NothingFoundSummary());
  const auto config = FolderContents(image_.ConfigDirectory());
  std::vector<std::string> names;
  for (const auto& [name, bytes] : config) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"COMPONENTS", kBackupName, "SOFTWARE"}));
  EXPECT_EQ(config.at(kBackupName), original_);
}

// What ntfs-3g does with a hibernated Windows, or one shut down with Fast
// Startup: it mounts the volume read-only.
TEST_F(NtfsSaveTest, AReadOnlyVolumeIsNamedBeforeThePrivilegeMessage) {
  volume_->Remount(true);
  const auto before = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + kReadOnlyVolumeLine + kPrivilegeNotHeld);
  EXPECT_EQ(run.exitStatus, 0x61);  // low byte of STATUS_PRIVILEGE_NOT_HELD
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
}

// A dry run writes nothing, so the read-only volume is no obstacle to it.
TEST_F(NtfsSaveTest, ADryRunWorksOnAReadOnlyVolume) {
  volume_->Remount(true);

  const ToolRun run = RunTessaly({"--dry-run", image_.WindowsDirectory().string()});

  const std::string listed = Repaired().replace(Repaired().find(" 存在异常"), std::string::npos,
                                                " 存在异常（试运行，未修改）\n");
  EXPECT_EQ(run.output, Banner() + listed + DryRunSummary(1));
  EXPECT_EQ(run.exitStatus, 0);
}

}  // namespace
}  // namespace tessaly::offline_test
