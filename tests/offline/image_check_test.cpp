// A WINDOWS_DIR the tool cannot work on gets one line naming what is wrong
// with it, before the banner: a typo, a folder that is no Windows folder, a
// SOFTWARE file that is no hive, a symbolic link or an unreadable name on
// the tool's way. None of them is taken for another Windows version.

#include <unistd.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "test_image.h"
#include "tool_run.h"
#include "tree_state.h"

namespace tessaly::offline_test {
namespace {

constexpr char kComponent[] = "amd64_checked-component_31bf3856ad364e35_10.0.19041.1_none_0000000000000001";
constexpr uid_t kNobody = 65534;

// What a run on the broken image is given and answers.
struct Answer {
  std::string argument;
  std::string output;
  int exitStatus;
};

struct WrongFolderRow {
  const char* name;
  std::function<Answer(TestImage&)> breakImage;  // after Write()
  bool asOtherUser = false;
};

void PrintTo(const WrongFolderRow& row, std::ostream* out) { *out << row.name; }

std::string NotAWindowsDirectory(const std::string& argument, const std::string& reason) {
  return "无法使用Windows目录 " + argument + "：" + reason + "\n";
}
std::string NoConfigDirectory(const std::string& argument, const std::string& reason) {
  return NotAWindowsDirectory(argument, "其中没有 System32/config 目录（" + reason + "）");
}
std::string SymbolicLink(const fs::path& path) {
  return path.string() + " 是符号链接。程序不会跟随符号链接，无法执行修复。\n";
}
std::string Unreadable(const fs::path& path) { return "无法读取 " + path.string() + "：Permission denied\n"; }
std::string SoftwareNotAHive(const fs::path& path) {
  return "SOFTWARE注册表 " + path.string() + " 不是注册表文件，无法执行修复。\n";
}

constexpr int kPathNotFound = 0x03;     // 0x80070003
constexpr int kFileNotFound = 0x02;     // 0x80070002
constexpr int kAccessDenied = 0x05;     // 0x80070005
constexpr int kBadDb = 0xF1;            // 0x800703F1
constexpr int kStoppedOnLink = 0xA9;    // 0x800702A9, ERROR_STOPPED_ON_SYMLINK

// Moves what is at path out of the image and leaves a link to it in its place.
void ReplaceWithLink(const TestImage& image, const fs::path& path) {
  const fs::path outside = image.Root() / ("outside-" + path.filename().string());
  fs::rename(path, outside);
  fs::create_symlink(outside, path);
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  fs::remove(file);
  std::ofstream(file, std::ios::binary) << bytes;
}

// Readable by root alone.
Answer MakeUnreadable(const TestImage& image, const fs::path& path) {
  fs::permissions(path, fs::is_directory(path) ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
  return {image.WindowsDirectory().string(), Unreadable(path), kAccessDenied};
}

std::vector<WrongFolderRow> WrongFolderRows() {
  return {
      {"Typo",
       [](TestImage& image) {
         const std::string typo = (image.Root() / "Windowz").string();
         return Answer{typo, NotAWindowsDirectory(typo, "No such file or directory"), kPathNotFound};
       }},
      {"AFileInsteadOfAFolder",
       [](TestImage& image) {
         const std::string file = (image.ConfigDirectory() / "SOFTWARE").string();
         return Answer{file, NotAWindowsDirectory(file, "Not a directory"), kPathNotFound};
       }},
      // The run names files by UTF-16 paths, which such a folder has none of.
      {"NotUtf8",
       [](TestImage& image) {
         const fs::path windows = image.Root() / "\xFF";
         fs::rename(image.WindowsDirectory(), windows);
         return Answer{windows.string(),
                       NotAWindowsDirectory(image.Root().string() + "/\\xFF",
                                            "Invalid or incomplete multibyte or wide character"),
                       kPathNotFound};
       }},
      {"FolderWithoutSystem32",
       [](TestImage& image) {
         const std::string parent = image.Root().string();
         return Answer{parent, NoConfigDirectory(parent, "No such file or directory"), kPathNotFound};
       }},
      {"ConfigIsAFile",
       [](TestImage& image) {
         fs::remove_all(image.ConfigDirectory());
         WriteBytes(image.ConfigDirectory(), "not a folder");
         const std::string windows = image.WindowsDirectory().string();
         return Answer{windows, NoConfigDirectory(windows, "Not a directory"), kPathNotFound};
       }},
      {"SoftwareMissing",
       [](TestImage& image) {
         fs::remove(image.ConfigDirectory() / "SOFTWARE");
         return Answer{image.WindowsDirectory().string(),
                       "SOFTWARE注册表 " + (image.ConfigDirectory() / "SOFTWARE").string() + " 不存在，无法执行修复。\n",
                       kFileNotFound};
       }},
      {"SoftwareNotAHive",
       [](TestImage& image) {
         WriteBytes(image.ConfigDirectory() / "SOFTWARE", std::string(8192, 'x'));
         return Answer{image.WindowsDirectory().string(), SoftwareNotAHive(image.ConfigDirectory() / "SOFTWARE"),
                       kBadDb};
       }},
      {"SoftwareDamaged",
       [](TestImage& image) {
         std::string software = ReadFileBytes(image.ConfigDirectory() / "SOFTWARE");
         software.replace(4096, 4, "xbin");
         WriteBytes(image.ConfigDirectory() / "SOFTWARE", software);
         return Answer{image.WindowsDirectory().string(),
                       "SOFTWARE注册表 " + (image.ConfigDirectory() / "SOFTWARE").string() + " 已损坏，无法执行修复。\n",
                       kBadDb};
       }},
      {"SoftwareEmpty",
       [](TestImage& image) {
         WriteBytes(image.ConfigDirectory() / "SOFTWARE", "");
         return Answer{image.WindowsDirectory().string(), SoftwareNotAHive(image.ConfigDirectory() / "SOFTWARE"),
                       kBadDb};
       }},
      {"SoftwareIsAFolder",
       [](TestImage& image) {
         fs::remove(image.ConfigDirectory() / "SOFTWARE");
         fs::create_directory(image.ConfigDirectory() / "software");
         return Answer{image.WindowsDirectory().string(), SoftwareNotAHive(image.ConfigDirectory() / "software"),
                       kBadDb};
       }},
      {"System32IsALink",
       [](TestImage& image) {
         ReplaceWithLink(image, image.WindowsDirectory() / "System32");
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.WindowsDirectory() / "System32"),
                       kStoppedOnLink};
       }},
      {"ConfigIsALink",
       [](TestImage& image) {
         ReplaceWithLink(image, image.ConfigDirectory());
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.ConfigDirectory()), kStoppedOnLink};
       }},
      {"SoftwareIsALink",
       [](TestImage& image) {
         ReplaceWithLink(image, image.ConfigDirectory() / "SOFTWARE");
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.ConfigDirectory() / "SOFTWARE"),
                       kStoppedOnLink};
       }},
      {"ComponentsIsALink",
       [](TestImage& image) {
         ReplaceWithLink(image, image.HivePath());
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.HivePath()), kStoppedOnLink};
       }},
      {"WinSxSIsALink",
       [](TestImage& image) {
         ReplaceWithLink(image, image.WinSxS());
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.WinSxS()), kStoppedOnLink};
       }},
      // Found ignoring case, named as on the disk.
      {"LowerCaseWinSxSIsALink",
       [](TestImage& image) {
         fs::rename(image.WinSxS(), image.WindowsDirectory() / "winsxs");
         ReplaceWithLink(image, image.WindowsDirectory() / "winsxs");
         return Answer{image.WindowsDirectory().string(), SymbolicLink(image.WindowsDirectory() / "winsxs"),
                       kStoppedOnLink};
       }},
      {"WindowsDirectoryUnreadable",
       [](TestImage& image) {
         fs::permissions(image.WindowsDirectory(), fs::perms::owner_all);
         return Answer{image.WindowsDirectory().string(), Unreadable(image.WindowsDirectory()), kAccessDenied};
       },
       true},
      {"System32Unreadable",
       [](TestImage& image) { return MakeUnreadable(image, image.WindowsDirectory() / "System32"); }, true},
      {"ConfigUnreadable", [](TestImage& image) { return MakeUnreadable(image, image.ConfigDirectory()); }, true},
      {"SoftwareUnreadable",
       [](TestImage& image) { return MakeUnreadable(image, image.ConfigDirectory() / "SOFTWARE"); }, true},
      {"ComponentsUnreadable", [](TestImage& image) { return MakeUnreadable(image, image.HivePath()); }, true},
      {"WinSxSUnreadable", [](TestImage& image) { return MakeUnreadable(image, image.WinSxS()); }, true},
  };
}

class WrongFolderTest : public testing::TestWithParam<WrongFolderRow> {};

TEST_P(WrongFolderTest, NamesWhatIsWrongBeforeAnythingElse) {
  const WrongFolderRow& row = GetParam();
  if (row.asOtherUser && geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  TestImage image;
  // A component that a run would repair, so that a run that went on would show.
  image.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();
  // Everyone may read the image; only what a row takes away is not.
  fs::permissions(image.Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  const Answer answer = row.breakImage(image);
  const auto before = TreeState(image.Root());

  const ToolLimits limits{row.asOtherUser ? std::optional<uid_t>(kNobody) : std::nullopt, std::nullopt};
  for (const bool dryRun : {false, true}) {
    SCOPED_TRACE(dryRun ? "dry run" : "repair run");
    const ToolRun run = RunTessaly(dryRun ? std::vector<std::string>{"-n", answer.argument}
                                          : std::vector<std::string>{answer.argument},
                                   limits);
    EXPECT_EQ(run.output, answer.output);
    EXPECT_EQ(run.exitStatus, answer.exitStatus);
    EXPECT_EQ(TreeState(image.Root()), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Offline, WrongFolderTest, testing::ValuesIn(WrongFolderRows()),
                         [](const testing::TestParamInfo<WrongFolderRow>& info) { return info.param.name; });

// The folders are found whatever their case, and a missing COMPONENTS is the
// run's to report: the run starts. A dirty SOFTWARE hive is a hive, but one
// its logs cannot bring up to date tells no Windows version, and is named.
TEST(WrongFolderTest, WhatIsNotWrongIsLeftToTheRun) {
  TestImage image;
  image.Write();
  fs::rename(image.ConfigDirectory(), image.WindowsDirectory() / "System32" / "CONFIG");
  fs::rename(image.WindowsDirectory() / "System32", image.WindowsDirectory() / "system32");
  const fs::path config = image.WindowsDirectory() / "system32" / "CONFIG";
  fs::remove(config / "COMPONENTS");

  const ToolRun missingHive = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(missingHive.output, Banner() + "COMPONENTS注册表不存在，无法执行修复。\n");
  EXPECT_EQ(missingHive.exitStatus, 0x02);

  // Primary and secondary sequence numbers that differ, checksum kept right.
  std::string software = ReadFileBytes(config / "SOFTWARE");
  software[0x04] = static_cast<char>(software[0x04] ^ 1);
  software[0x1FC] = static_cast<char>(software[0x1FC] ^ 1);
  WriteBytes(config / "SOFTWARE", software);
  const ToolRun dirtySoftware = RunTessaly({image.WindowsDirectory().string()});
  EXPECT_EQ(dirtySoftware.output, "SOFTWARE注册表 " + (config / "SOFTWARE").string() +
                                      " 未写完，且其日志无法将其恢复，无法执行修复。\n");
  EXPECT_EQ(dirtySoftware.exitStatus, 0xF7);
}

}  // namespace
}  // namespace tessaly::offline_test
