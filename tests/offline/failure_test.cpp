// Every way a run ends before the scan, on a real image: the message after
// the banner, the exit status, and an image left exactly as it was.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "hive_contents.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/pe_writer.h"

namespace tessaly::offline_test {
namespace {

constexpr char kComponent[] = "amd64_failing-component_31bf3856ad364e35_10.0.19041.1_none_0000000000000001";
constexpr char kNotWindows10[] = "程序仅支持Windows 10以及对应的服务器版本，暂时不支持其他系统！\n";
constexpr char kNoServicingDirectory[] = "无法获取CBS目录。\n";
constexpr char kServicingNotLoaded[] = "无法加载CBS。\n";
constexpr char kHiveMissing[] = "COMPONENTS注册表不存在，无法执行修复。\n";
constexpr char kPrivilegeNotHeld[] =
    "特权提升失败 hr=0xC0000061，可能是域配置不允许提升特权 或者 其他杀毒软件干扰所致，建议你联系管理员或者反馈给我们。\n";

std::string HiveNotLoaded(const char* status) {
  return std::string("COMPONENTS注册表无法加载，lStatus=") + status + "。无法执行修复。\n";
}

void StoreLittleEndian32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

// Recomputes the base block checksum after a test has edited the header.
void FixHeaderChecksum(std::string& hive) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < 0x1FC; offset += 4) {
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<std::uint8_t>(hive[offset + i]);
    sum ^= word;
  }
  StoreLittleEndian32(hive, 0x1FC, sum);
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  fs::remove(file);
  std::ofstream(file, std::ios::binary) << bytes;
}

struct FailureRow {
  const char* name;
  std::function<void(TestImage&)> beforeWrite;
  std::function<void(TestImage&)> afterWrite;
  std::string message;
  int exitStatus;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

void Nothing(TestImage&) {}

std::vector<FailureRow> FailureRows() {
  using image::DwordValue;
  using image::ExpandStringValue;
  using image::HiveValue;
  return {
      {"Windows81",
       [](TestImage& image) {
         image.CurrentVersion().values = {DwordValue("CurrentMajorVersionNumber", 6),
                                          DwordValue("CurrentMinorVersionNumber", 3)};
       },
       Nothing, kNotWindows10, 0x01},
      {"Windows10Point1",
       [](TestImage& image) {
         image.CurrentVersion().values = {DwordValue("CurrentMajorVersionNumber", 10),
                                          DwordValue("CurrentMinorVersionNumber", 1)};
       },
       Nothing, kNotWindows10, 0x01},
      {"MinorVersionMissing",
       [](TestImage& image) { image.CurrentVersion().values = {DwordValue("CurrentMajorVersionNumber", 10)}; },
       Nothing, kNotWindows10, 0x01},
      {"MajorVersionNotADword",
       [](TestImage& image) {
         image.CurrentVersion().values = {image::BinaryValue("CurrentMajorVersionNumber", {10, 0, 0, 0}),
                                          DwordValue("CurrentMinorVersionNumber", 0)};
       },
       Nothing, kNotWindows10, 0x01},
      {"ServicingVersionKeyMissing",
       [](TestImage& image) {
         image::HiveKey& servicing = Subkey(Subkey(Subkey(Subkey(image.software, "Microsoft"), "Windows"),
                                                   "CurrentVersion"),
                                            "Component Based Servicing");
         servicing.subkeys.clear();
       },
       Nothing, "无法获取CBS目录 lStatus=2。\n", 0x02},
      {"ServicingVersionKeyEmpty", [](TestImage& image) { image.ServicingVersion().values.clear(); }, Nothing,
       kNoServicingDirectory, 0x02},
      {"OnlyPlainStringsAndUnnamedValues",
       [](TestImage& image) {
         const std::u16string directory = u"%SystemRoot%\\WinSxS\\x";
         HiveValue plain = ExpandStringValue("10.0.1", directory);
         plain.type = 1;  // REG_SZ
         image.ServicingVersion().values = {plain, ExpandStringValue("", directory)};
       },
       Nothing, kNoServicingDirectory, 0x02},
      {"DirectoryValueTooLongForItsBuffer",
       [](TestImage& image) {
         image.ServicingVersion().values = {ExpandStringValue("10.0.1", std::u16string(300, u'x'))};
       },
       Nothing, kNoServicingDirectory, 0x02},
      {"DirectoryValueEmpty",
       [](TestImage& image) { image.ServicingVersion().values = {ExpandStringValue("10.0.1", u"")}; }, Nothing,
       kNoServicingDirectory, 0x02},
      {"DirectoryOutsideTheImage",
       [](TestImage& image) {
         image.ServicingVersion().values = {ExpandStringValue("10.0.1", image.Root().u16string())};
         image::WritePeDll(image.Root() / "wcp.dll", image.wcpExports);
       },
       Nothing, kServicingNotLoaded, 0x02},
      {"WcpMissing", Nothing,
       [](TestImage& image) { fs::remove(image.WinSxS() / kServicingStackDirectory / "wcp.dll"); },
       kServicingNotLoaded, 0x02},
      {"WcpWithoutHashExport", [](TestImage& image) { image.wcpExports = {"RtlDowncaseUCSCharacter"}; }, Nothing,
       kServicingNotLoaded, 0x02},
      {"WcpWithoutDowncaseExport",
       [](TestImage& image) { image.wcpExports = {"RtlHashLUnicodeString", "RtlHashUnicodeString"}; }, Nothing,
       kServicingNotLoaded, 0x02},
      {"WcpNotAPeImage", Nothing,
       [](TestImage& image) {
         WriteBytes(image.WinSxS() / kServicingStackDirectory / "wcp.dll",
                    "MZ RtlHashLUnicodeString RtlDowncaseUCSCharacter");
       },
       kServicingNotLoaded, 0x02},
      {"WcpIsASymbolicLink", Nothing,
       [](TestImage& image) {
         const fs::path outside = image.Root() / "real-wcp.dll";
         image::WritePeDll(outside, {"RtlHashLUnicodeString", "RtlDowncaseUCSCharacter"});
         const fs::path wcp = image.WinSxS() / kServicingStackDirectory / "wcp.dll";
         fs::remove(wcp);
         fs::create_symlink(outside, wcp);
       },
       kServicingNotLoaded, 0x02},
      {"HiveMissing", Nothing, [](TestImage& image) { fs::remove(image.HivePath()); }, kHiveMissing, 0x02},
      {"HiveIsNotAHive", Nothing, [](TestImage& image) { WriteBytes(image.HivePath(), std::string(8192, 'x')); },
       HiveNotLoaded("0x000003F1"), 0xF1},
      // A torn base block, as a crash leaves it, with no log to take one from.
      {"HiveHeaderChecksumWrongWithoutLogs", Nothing,
       [](TestImage& image) {
         std::string hive = ReadFileBytes(image.HivePath());
         hive[0x0C] ^= 1;  // the last-written time, covered by the checksum
         WriteBytes(image.HivePath(), hive);
       },
       HiveNotLoaded("0x000003F7"), 0xF7},
      {"HiveShorterThanItsHeader", Nothing,
       [](TestImage& image) { WriteBytes(image.HivePath(), ReadFileBytes(image.HivePath()).substr(0, 4000)); },
       HiveNotLoaded("0x000003F1"), 0xF1},
      {"HiveWithoutItsBins", Nothing,
       [](TestImage& image) { WriteBytes(image.HivePath(), ReadFileBytes(image.HivePath()).substr(0, 4096)); },
       HiveNotLoaded("0x000003F1"), 0xF1},
      {"HiveWithUnreplayedLog", Nothing,
       [](TestImage& image) {
         std::string hive = ReadFileBytes(image.HivePath());
         StoreLittleEndian32(hive, 0x04, 8);
         StoreLittleEndian32(hive, 0x08, 7);
         FixHeaderChecksum(hive);
         WriteBytes(image.HivePath(), hive);
       },
       HiveNotLoaded("0x000003F7"), 0xF7},
      {"ComponentListMissing",
       [](TestImage& image) { Subkey(image.components, "DerivedData").subkeys.clear(); }, Nothing,
       "COMPONENTS注册表无法打开，lStatus=0x00000002。无法执行修复。\n", 0x02},
  };
}

class FailureTest : public testing::TestWithParam<FailureRow> {};

TEST_P(FailureTest, EndsTheRunWithItsMessageAndLeavesTheImageAlone) {
  const FailureRow& row = GetParam();
  TestImage image;
  // A component that a completed run would repair, so that a run that went
  // on past the failure would show in the hive.
  image.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  row.beforeWrite(image);
  image.Write();
  row.afterWrite(image);
  const auto configBefore = FolderContents(image.ConfigDirectory());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + row.message);
  EXPECT_EQ(run.exitStatus, row.exitStatus);
  EXPECT_EQ(FolderContents(image.ConfigDirectory()), configBefore);
}

INSTANTIATE_TEST_SUITE_P(Offline, FailureTest, testing::ValuesIn(FailureRows()),
                         [](const testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

// A second run (here: the test) holds the hive: the repair stops before
// its scan, naming the file, as a sharing violation, 32.
TEST(LockedHiveTest, AHiveLockedByAnotherRunIsNotLoaded) {
  TestImage image;
  image.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();
  const auto configBefore = FolderContents(image.ConfigDirectory());
  const int lock = open(image.HivePath().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);

  const ToolRun locked = RunTessaly({image.WindowsDirectory().string()});
  close(lock);

  EXPECT_EQ(locked.output, image.HivePath().string() +
                               " 正被其他程序使用，无法保存修复。请关闭使用它的程序后再运行。未执行任何修复。\n");
  EXPECT_EQ(locked.exitStatus, 0x20);
  EXPECT_EQ(FolderContents(image.ConfigDirectory()), configBefore);

  // Once the lock is gone the same image is repaired.
  const ToolRun free = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(free.output, Banner() + RepairedLine(image, std::string(kComponent) + "\\a.dll") + RepairedSummary());
  EXPECT_EQ(free.exitStatus, 0);
}

// Sets or clears the immutable attribute; false where the file system has none.
bool SetImmutable(const fs::path& path, bool immutable) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

// Write access to the image's config directory and hive stands for the
// backup and restore privileges.
class PrivilegeTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue("f!a.dll", 0x02)});
    image_.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
    image_.Write();
    configBefore_ = FolderContents(image_.ConfigDirectory());
  }
  void TearDown() override {
    for (const fs::path& path : immutable_) SetImmutable(path, false);
  }

  void MakeImmutable(const fs::path& path) {
    if (!SetImmutable(path, true)) GTEST_SKIP() << "the file system of " << path << " has no immutable attribute";
    immutable_.push_back(path);
  }

  void ExpectRefused(const ToolRun& run) {
    EXPECT_EQ(run.output, Banner() + kPrivilegeNotHeld);
    EXPECT_EQ(run.exitStatus, 0x61);  // low byte of STATUS_PRIVILEGE_NOT_HELD
    EXPECT_EQ(FolderContents(image_.ConfigDirectory()), configBefore_);
  }

  TestImage image_;
  std::map<std::string, std::string> configBefore_;
  std::vector<fs::path> immutable_;
};

TEST_F(PrivilegeTest, ConfigDirectoryWhereNoFileCanBeCreated) {
  MakeImmutable(image_.ConfigDirectory());
  if (IsSkipped()) return;
  ExpectRefused(RunTessaly({image_.WindowsDirectory().string()}));
}

TEST_F(PrivilegeTest, HiveThatCannotBeOpenedForWriting) {
  MakeImmutable(image_.HivePath());
  if (IsSkipped()) return;
  ExpectRefused(RunTessaly({image_.WindowsDirectory().string()}));
}

TEST_F(PrivilegeTest, UserWithoutWriteAccess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  constexpr uid_t kNobody = 65534;
  // The image is readable by everyone, writable by root alone.
  fs::permissions(image_.Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  ExpectRefused(RunTessaly({image_.WindowsDirectory().string()}, ToolLimits{kNobody, std::nullopt}));
}

}  // namespace
}  // namespace tessaly::offline_test
