// What the offline run says when the volume or the system it is on refuses
// it in ways that neither Linux nor Wine can be made to produce on demand: a
// write-protected or hibernated volume, an encrypted volume still locked,
// the running system's own Windows folder, a hive held by another program,
// and a copy that could not keep the original's owner. The image is real;
// only the answers of the image files named in each case are changed.

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "common/utf_conversion.h"
#include "platform/offline/image_files.h"
#include "platform/offline/offline_program.h"
#include "platform/offline/prepare_save.h"
#include "platform/posix/posix_image_files.h"
#include "tests/fakes/event_log.h"
#include "tests/fakes/fake_console.h"
#include "tests/offline/test_image.h"
#include "tools/image/hive_writer.h"

namespace tessaly::offline_test {
namespace {

using offline::DirectoryHandle;
using offline::FileProblem;
using offline::FileStatus;
using offline::ImageFileHandle;
using offline::WriteAccess;

constexpr char kComponent[] = "amd64_test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";

// The Linux image files, with the answers of a few calls replaced.
class AlteredImageFiles final : public posix::PosixImageFiles {
 public:
  using PosixImageFiles::PosixImageFiles;

  std::function<WriteAccess()> writeAccess;
  std::function<FileStatus()> windowsDirectory;
  std::function<FileStatus(std::u16string_view name)> openFile;
  std::function<FileStatus()> carryMetadata;
  std::function<FileStatus()> rename;
  // Called once the hive, held for saving, is let go.
  std::function<void()> hiveReleased;
  ImageFileHandle heldHive = ImageFileHandle::Invalid;
  bool runningSystem = false;
  bool lacksHardLinks = false;
  std::optional<std::uint64_t> freeSpace;
  // A platform that has no code of its own for a failure.
  bool failuresWithoutCode = false;

  FileStatus OpenWindowsDirectory(DirectoryHandle* directory) override {
    if (windowsDirectory) return windowsDirectory();
    return PosixImageFiles::OpenWindowsDirectory(directory);
  }
  FileStatus OpenFile(DirectoryHandle parent, std::u16string_view name, offline::FileAccess access,
                      ImageFileHandle* file) override {
    if (openFile) {
      if (const FileStatus status = openFile(name); !status.Ok()) return status;
    }
    const FileStatus status = PosixImageFiles::OpenFile(parent, name, access, file);
    if (status.Ok() && access == offline::FileAccess::ReadForSave && name == u"COMPONENTS") heldHive = *file;
    return status;
  }
  FileStatus CloseFile(ImageFileHandle file) override {
    const FileStatus status = PosixImageFiles::CloseFile(file);
    if (file == heldHive && hiveReleased) hiveReleased();
    return status;
  }
  FileStatus CarryMetadata(ImageFileHandle original, ImageFileHandle copy) override {
    if (carryMetadata) return carryMetadata();
    return PosixImageFiles::CarryMetadata(original, copy);
  }
  FileStatus Rename(DirectoryHandle directory, std::u16string_view from, std::u16string_view to,
                    bool replace) override {
    if (rename) return rename();
    return PosixImageFiles::Rename(directory, from, to, replace);
  }
  Win32Status ToWin32Status(const FileStatus& status) override {
    if (failuresWithoutCode) return Win32Status::Success;
    return PosixImageFiles::ToWin32Status(status);
  }
  WriteAccess ProbeWriteAccess(DirectoryHandle directory, std::u16string_view name) override {
    if (writeAccess) return writeAccess();
    return PosixImageFiles::ProbeWriteAccess(directory, name);
  }
  bool IsRunningSystem() override { return runningSystem; }
  bool LacksHardLinks(DirectoryHandle) override { return lacksHardLinks; }
  FileStatus FreeSpace(DirectoryHandle directory, std::uint64_t* bytes) override {
    if (!freeSpace) return PosixImageFiles::FreeSpace(directory, bytes);
    *bytes = *freeSpace;
    return {};
  }
};

struct ProgramRun {
  std::string output;
  ExitCode exitCode = 0;
};

class VolumeRefusalTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue("f!a.dll", 0x02)});
    image_.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
    image_.Write();
    hiveBefore_ = ReadFileBytes(image_.HivePath());
  }

  ProgramRun RunProgram(bool dryRun, const std::function<void(AlteredImageFiles&)>& alter) {
    fakes::EventLog events;
    fakes::FakeConsole output(events);
    fakes::FakeConsole errors(events);
    const std::string windows = image_.WindowsDirectory().string();
    const offline::OfflineProgram program{
        .name = "tessaly",
        .usage = u"usage\n",
        .output = output,
        .errors = errors,
        .terminal = nullptr,
        .openImage = [&](const std::string& directory) -> std::unique_ptr<offline::ImageFiles> {
          auto files = std::make_unique<AlteredImageFiles>(directory);
          alter(*files);
          return files;
        },
        .engineDirectory = [](const std::string& directory) { return posix::EngineDirectory(directory); },
    };
    std::vector<const char*> arguments;
    if (dryRun) arguments.push_back("--dry-run");
    arguments.push_back(windows.c_str());
    ProgramRun run;
    run.exitCode = offline::RunOfflineProgram(arguments, program);
    run.output = Utf8FromUtf16Lossy(output.output);
    return run;
  }

  std::string Windows() const { return image_.WindowsDirectory().string(); }
  bool HiveUnchanged() const {
    return ReadFileBytes(image_.HivePath()) == hiveBefore_ && !fs::exists(image_.ConfigDirectory() / "COMPONENTS.tessaly-backup");
  }

  TestImage image_;
  std::string hiveBefore_;
};

constexpr ExitCode kPrivilegeNotHeld = static_cast<ExitCode>(0xC0000061);

// A volume that takes no writes: the repair stops before anything is
// changed, naming why; a dry run lists as on any volume.
TEST_F(VolumeRefusalTest, AVolumeThatTakesNoWritesIsNamedAndADryRunStillLists) {
  const struct {
    WriteAccess access;
    std::string says;
  } rows[] = {
      {WriteAccess::WriteProtected, "System32/config 所在的卷是只读的：磁盘或U盘处于写保护状态"},
      {WriteAccess::Hibernated, "System32/config 所在的卷上的 Windows 处于休眠状态"},
      {WriteAccess::ReadOnlyMount, "System32/config 所在的卷是只读挂载的"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.says);
    const ProgramRun repair = RunProgram(false, [&](AlteredImageFiles& files) { files.writeAccess = [&] { return row.access; }; });
    EXPECT_NE(repair.output.find(row.says), std::string::npos) << repair.output;
    EXPECT_EQ(repair.exitCode, kPrivilegeNotHeld);
    EXPECT_TRUE(HiveUnchanged());

    const ProgramRun dryRun = RunProgram(true, [&](AlteredImageFiles& files) { files.writeAccess = [&] { return row.access; }; });
    EXPECT_NE(dryRun.output.find("a.dll 存在异常（试运行，未修改）"), std::string::npos) << dryRun.output;
    EXPECT_EQ(dryRun.exitCode, 0);
  }
}

TEST_F(VolumeRefusalTest, ALockedEncryptedVolumeIsNamedWithItsStatus) {
  constexpr std::int32_t kLockedVolume = static_cast<std::int32_t>(0x80310000);
  const ProgramRun run = RunProgram(true, [](AlteredImageFiles& files) {
    files.windowsDirectory = [] { return FileStatus{FileProblem::VolumeLocked, kLockedVolume}; };
  });
  EXPECT_EQ(run.output, "无法使用Windows目录 " + Windows() +
                            "：所在的卷已用BitLocker加密且尚未解锁。请先解锁该卷（manage-bde -unlock）再运行。\n");
  EXPECT_NE(run.exitCode, 0);
}

TEST_F(VolumeRefusalTest, TheRunningSystemIsLeftToTheOnlineTool) {
  for (const bool dryRun : {true, false}) {
    const ProgramRun run = RunProgram(dryRun, [](AlteredImageFiles& files) { files.runningSystem = true; });
    EXPECT_EQ(run.output, Windows() + " 是正在运行的Windows的目录，其注册表文件正在使用中。修复正在运行的Windows请使用 tessaly.exe。\n");
    EXPECT_EQ(run.exitCode, static_cast<ExitCode>(0x80070020));
  }
  EXPECT_TRUE(HiveUnchanged());
}

TEST_F(VolumeRefusalTest, ASoftwareHiveInUseIsNamed) {
  const ProgramRun run = RunProgram(true, [](AlteredImageFiles& files) {
    files.openFile = [](std::u16string_view name) {
      return name == u"SOFTWARE" ? FileStatus{FileProblem::InUse, 0} : FileStatus{};
    };
  });
  EXPECT_EQ(run.output, (image_.ConfigDirectory() / "SOFTWARE").string() +
                            " 正被其他程序使用，无法读取。请关闭使用它的程序后再运行。\n");
  EXPECT_EQ(run.exitCode, static_cast<ExitCode>(0x80070020));
}

// On NTFS from Windows, an owner that cannot be set on the copy (no restore
// privilege) is metadata not kept: the original stays, and nothing of the
// save is left beside it.
TEST_F(VolumeRefusalTest, ACopyThatCannotKeepTheOwnerLeavesTheOriginal) {
  const auto before = FolderContents(image_.ConfigDirectory());
  const ProgramRun run = RunProgram(false, [](AlteredImageFiles& files) {
    files.carryMetadata = [] { return FileStatus{FileProblem::MetadataNotKept, 1307}; };
  });
  EXPECT_NE(run.output.find("新的COMPONENTS无法保留原文件的所有者、权限或扩展属性"), std::string::npos) << run.output;
  EXPECT_EQ(run.exitCode, static_cast<ExitCode>(0x80070005));
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), before);
}

// Another program puts a file under the hive's name just as the save lets
// the hive go: that file stays, and so does the backup, which may be the
// original's only name now.
TEST_F(VolumeRefusalTest, AHiveReplacedJustBeforeTheRenameKeepsBothItAndTheBackup) {
  const fs::path config = image_.ConfigDirectory();
  const ProgramRun run = RunProgram(false, [&](AlteredImageFiles& files) {
    files.hiveReleased = [&] {
      std::ofstream(config / "intruder", std::ios::binary) << "another program's file";
      fs::rename(config / "intruder", config / "COMPONENTS");
    };
  });
  EXPECT_NE(run.output.find("保存前发现COMPONENTS已被其他程序替换"), std::string::npos) << run.output;
  EXPECT_EQ(run.exitCode, static_cast<ExitCode>(0x800703F8));
  EXPECT_EQ(FolderContents(config), (std::map<std::string, std::string>{
                                        {"COMPONENTS", "another program's file"},
                                        {"COMPONENTS.tessaly-backup", hiveBefore_},
                                        {"SOFTWARE", ReadFileBytes(config / "SOFTWARE")},
                                    }));
}

// Where the file system has no hard links (a copy of the image on an exFAT
// stick), the backup is a whole copy, which the room asked for counts.
TEST_F(VolumeRefusalTest, RoomForABackupCopyIsAskedForWhereThereAreNoHardLinks) {
  const std::uint64_t hive = hiveBefore_.size();
  const std::uint64_t enoughForALink = hive + offline::kSaveSpaceMargin;
  for (const bool lacksHardLinks : {true, false}) {
    SCOPED_TRACE(lacksHardLinks);
    const ProgramRun run = RunProgram(true, [&](AlteredImageFiles& files) {
      files.lacksHardLinks = lacksHardLinks;
      files.freeSpace = enoughForALink;
    });
    const ProgramRun repair = RunProgram(false, [&](AlteredImageFiles& files) {
      files.lacksHardLinks = lacksHardLinks;
      files.freeSpace = enoughForALink;
    });
    if (lacksHardLinks) {
      EXPECT_EQ(repair.output, "System32/config 所在的卷空间不足，无法保存修复：需要 " +
                                   std::to_string(2 * hive + offline::kSaveSpaceMargin) + " 字节，可用 " +
                                   std::to_string(enoughForALink) + " 字节。请释放空间后再运行。未执行任何修复。\n");
      EXPECT_EQ(repair.exitCode, static_cast<ExitCode>(0x80070070));
      EXPECT_TRUE(HiveUnchanged());
    } else {
      EXPECT_NE(repair.output.find("修复完成"), std::string::npos) << repair.output;
    }
    // A dry run writes nothing, so it needs no room at all.
    EXPECT_EQ(run.exitCode, 0);
  }
}

// A save that failed is reported as a failure even when the platform's
// code for it reads as success.
TEST_F(VolumeRefusalTest, AFailedSaveWithoutACodeIsStillAFailure) {
  const ProgramRun run = RunProgram(false, [](AlteredImageFiles& files) {
    files.rename = [] { return FileStatus{FileProblem::Other, 0}; };
    files.failuresWithoutCode = true;
  });
  EXPECT_EQ(run.output.find("修复完成"), std::string::npos) << run.output;
  EXPECT_EQ(run.exitCode, static_cast<ExitCode>(0x800703F8));
  EXPECT_EQ(ReadFileBytes(image_.HivePath()), hiveBefore_);
}

}  // namespace
}  // namespace tessaly::offline_test
