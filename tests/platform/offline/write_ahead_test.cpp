// With more than one job, a repair writes the new hive from its first change
// on, while the run goes on changing it: what it saves must be what one job
// saves, and a write-ahead no save takes must leave nothing behind.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "platform/offline/offline_registry.h"
#include "platform/offline/progress_line.h"
#include "platform/posix/posix_console.h"
#include "registry/registry.h"
#include "tests/offline/hive_contents.h"
#include "tests/offline/test_image.h"
#include "tests/platform/offline/opened_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

// Enough components that the hive takes the write-ahead several parts, and
// the changes come before, while and after it copies them.
constexpr int kComponents = 4000;

std::u16string ComponentName(int index) { return u"component-" + image::Utf16FromUtf8(std::to_string(index)); }

class WriteAheadTest : public testing::Test {
 protected:
  void SetUp() override {
    // Padding first, so that the components lie past the first part.
    image_.AddComponent("padding", {image::BinaryValue("manifest", std::vector<std::uint8_t>(std::size_t{3} << 20))});
    for (int i = 0; i < kComponents; ++i) {
      image_.AddComponent(image::Utf8FromUtf16(ComponentName(i)), {DwordValue("f!a.dll", 0x22)});
    }
    image_.Write();
    original_ = FolderContents(image_.ConfigDirectory());
  }

  // Loads COMPONENTS into a registry of `jobs` jobs and clears the claim of
  // every component; saves when commit.
  void Repair(unsigned jobs, bool commit) {
    OpenedImage opened(image_.WindowsDirectory().string());
    offline::ProgressLine progress;
    posix::PosixStreamConsole console{stdout};
    offline::OfflineRegistry registry(opened.tree, console, progress, offline::HiveAccess::Repair, {}, {}, jobs);
    const std::u16string hivePath =
        u"\\\\?\\" + image::Utf16FromUtf8(image_.WindowsDirectory().string()) + u"\\System32\\config\\COMPONENTS";
    ASSERT_EQ(registry.LoadKey(kLocalMachine, u"COMPONENTS", hivePath.c_str()), Win32Status::Success);
    const std::uint8_t cleared[4] = {0x20, 0, 0, 0};
    for (int i = 0; i < kComponents; ++i) {
      UniqueKey component(registry);
      ASSERT_EQ(registry.OpenKeyEx(kLocalMachine, (u"COMPONENTS\\DerivedData\\Components\\" + ComponentName(i)).c_str(),
                                   0, kKeyReadWrite, component.Put()),
                Win32Status::Success);
      ASSERT_EQ(registry.SetValueEx(component.Get(), u"f!a.dll", kRegDword, cleared, 4), Win32Status::Success);
    }
    if (commit) {
      ASSERT_EQ(registry.CommitLoadedHive(kLocalMachine, u"COMPONENTS"), Win32Status::Success);
    }
  }

  void RestoreOriginal() {
    for (const auto& [name, bytes] : FolderContents(image_.ConfigDirectory())) {
      if (original_.count(name) == 0) fs::remove(image_.ConfigDirectory() / name);
    }
    std::ofstream(image_.HivePath(), std::ios::binary | std::ios::trunc) << original_.at("COMPONENTS");
  }

  TestImage image_;
  std::map<std::string, std::string> original_;
};

TEST_F(WriteAheadTest, SavesTheHiveOneJobSaves) {
  Repair(1, true);
  const std::map<std::string, std::string> oneJob = FolderContents(image_.ConfigDirectory());
  RestoreOriginal();
  Repair(2, true);

  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), oneJob);
  EXPECT_EQ(ReadDword(image_.HivePath(), "DerivedData\\Components\\component-0", "f!a.dll"), 0x20u);
  EXPECT_EQ(ReadDword(image_.HivePath(), "DerivedData\\Components\\component-3999", "f!a.dll"), 0x20u);
}

TEST_F(WriteAheadTest, ARunThatDoesNotSaveLeavesNothingBehind) {
  Repair(2, false);

  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), original_);
}

}  // namespace
}  // namespace tessaly::offline_test
