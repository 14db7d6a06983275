// How the engine's Windows paths land in a Linux image: letter case
// ignored, NTFS listing order, symbolic links never followed, no way out of
// the component store, the Windows path length limit, and the Linux paths
// the messages name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "hive_contents.h"
#include "test_image.h"
#include "tool_run.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-paths-test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;

void WriteOutside(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << contents;
}

TEST(ImagePathsTest, SymbolicLinksAreNeitherFollowedNorExamined) {
  TestImage image;
  const fs::path outside = image.Root() / "outside";
  WriteOutside(outside / "target.dll", "XYZ");
  WriteOutside(outside / "tree" / "inner.dll", "XYZ");
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!real.dll", 0x02),
                                  DwordValue("f!file-link.dll", 0x02),
                                  DwordValue(RecordName(u"dir-link\\inner.dll"), 0x02),
                                  DwordValue(RecordName(u"dangling\\x.dll"), 0x02)});
  image.AddFile(fs::path(kComponent) / "real.dll", "XYZ");
  fs::create_symlink(outside / "target.dll", image.WinSxS() / kComponent / "file-link.dll");
  fs::create_symlink(outside / "tree", image.WinSxS() / kComponent / "dir-link");
  fs::create_symlink(outside / "nowhere", image.WinSxS() / kComponent / "dangling");
  // A component whose directory is itself a link.
  image.AddComponent("linked-component", {DwordValue("CF", 0x200), DwordValue("f!inner.dll", 0x02)});
  fs::create_symlink(outside / "tree", image.WinSxS() / "linked-component");
  image.Write();

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + RepairedLine(image, std::string(kComponent) + "\\real.dll") + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
  const auto values = ReadKeyValues(image.HivePath(), kComponentKey);
  ASSERT_TRUE(values);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!real.dll"), 0x00u);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!file-link.dll"), 0x02u);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, RecordName(u"dir-link\\inner.dll")), 0x02u);
  EXPECT_EQ(ReadDword(image.HivePath(), "DerivedData\\Components\\linked-component", "f!inner.dll"), 0x02u);
}

// A FIFO would block a plain open until a writer came along; it is not a
// file that can carry a stored form, so it is passed over.
TEST(ImagePathsTest, SpecialFilesArePassedOver) {
  TestImage image;
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!pipe.dll", 0x02)});
  fs::create_directories(image.WinSxS() / kComponent);
  ASSERT_EQ(mkfifo((image.WinSxS() / kComponent / "pipe.dll").c_str(), 0600), 0);
  image.Write();

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, "f!pipe.dll"), 0x02u);
}

// Component key names come from the hive, which the image's owner may have
// tampered with: none of them reaches outside the component store.
TEST(ImagePathsTest, ComponentNamesThatLeaveTheStoreArePassedOver) {
  TestImage image;
  for (const std::string name : {"..", ".", "nested/component"}) {
    image.AddComponent(name, {DwordValue("CF", 0x200), DwordValue("f!escape.dll", 0x02)});
  }
  // Where each name would lead if it were resolved as Linux would.
  WriteOutside(image.WindowsDirectory() / "escape.dll", "XYZ");
  WriteOutside(image.WinSxS() / "escape.dll", "XYZ");
  WriteOutside(image.WinSxS() / "nested" / "component" / "escape.dll", "XYZ");
  image.Write();
  const std::string hiveBefore = ReadFileBytes(image.HivePath());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(ReadFileBytes(image.HivePath()), hiveBefore);
}

// Windows does not care about case; the image is walked as Windows would.
TEST(ImagePathsTest, NamesMatchWhateverTheirCase) {
  TestImage image;
  image.AddComponent("Amd64_Mixed.Case_Component", {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path("amd64_mixed.case_component") / "a.dll", "XYZ");
  image.Write();
  fs::rename(image.WinSxS(), image.WindowsDirectory() / "WINSXS");
  fs::rename(image.ConfigDirectory(), image.WindowsDirectory() / "System32" / "CONFIG");
  fs::rename(image.WindowsDirectory() / "System32", image.WindowsDirectory() / "system32");
  const fs::path hive = image.WindowsDirectory() / "system32" / "CONFIG" / "COMPONENTS";

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  // The path printed is the file's, with every name as it is on the disk,
  // whatever the spelling in the hive.
  const fs::path file = image.WindowsDirectory() / "WINSXS" / "amd64_mixed.case_component" / "a.dll";
  EXPECT_EQ(run.output, Banner() + "发现 " + file.string() + " 存在异常，执行修复成功！\n" + RepairedSummary());
  EXPECT_TRUE(fs::is_regular_file(file));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(ReadDword(hive, "DerivedData\\Components\\Amd64_Mixed.Case_Component", "f!a.dll"), 0x00u);
  EXPECT_TRUE(fs::exists(hive.parent_path() / "COMPONENTS.tessaly-backup"));
}

// Upper-cased UTF-16 order, as NTFS lists a directory: "_" (0x5F) comes
// after the letters, and names that are not UTF-8 are passed over.
TEST(ImagePathsTest, FilesAreVisitedInNtfsOrder) {
  TestImage image;
  const std::vector<std::u16string> created = {u"b.dll", u"_x.dll", u"A.dll", u"Z.dll", u"a2.dll", u"ä.dll"};
  std::vector<image::HiveValue> values = {DwordValue("CF", 0x200)};
  for (const std::u16string& name : created) {
    values.push_back(DwordValue(RecordName(name), 0x02));
    image.AddFile(fs::path(kComponent) / fs::path(name), "XYZ");
  }
  image.AddComponent(kComponent, values);
  image.AddFile(fs::path(kComponent) / "\xff\xfe.dll", "XYZ");
  image.Write();

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  std::string expected = Banner();
  for (const char* name : {"A.dll", "a2.dll", "b.dll", "Z.dll", "_x.dll", "ä.dll"}) {
    expected += RepairedLine(image, std::string(kComponent) + "\\" + name);
  }
  EXPECT_EQ(run.output, expected + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(ImagePathsTest, TrailingSlashesOfTheArgumentAreDropped) {
  TestImage image;
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();

  const ToolRun run = RunTessaly({image.WindowsDirectory().string() + "//"});

  EXPECT_EQ(run.output, Banner() + RepairedLine(image, std::string(kComponent) + "\\a.dll") + RepairedSummary());
}

// GetWindowsDirectoryW's buffer holds 260 characters. Through the whole
// run a longer Windows directory is refused one step earlier, since the
// servicing stack directory below it does not fit its 260 characters either.
TEST(ImagePathsTest, AWindowsDirectoryBeyondThePathLimitIsRefused) {
  const fs::path deep = fs::path(std::string(100, 'd')) / std::string(100, 'e') / std::string(40, 'f') / "Windows";
  TestImage image(deep);
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();
  ASSERT_GE(image.WindowsDirectory().string().size(), 260u);
  const auto configBefore = FolderContents(image.ConfigDirectory());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + "无法加载CBS。\n");
  EXPECT_EQ(run.exitStatus, 0x02);
  EXPECT_EQ(FolderContents(image.ConfigDirectory()), configBefore);
}

}  // namespace
}  // namespace tessaly::offline_test
