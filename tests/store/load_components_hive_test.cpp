#include "store/load_components_hive.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "fakes/working_system.h"

namespace tessaly {
namespace {

using namespace fakes;

struct HiveSystem {
  HiveSystem() { InstallWorkingSystem(fakes); }

  // Loads, then closes the components key as the run would.
  Hresult Load() {
    UniqueKey componentsKey(fakes.registry);
    const Hresult result = LoadComponentsHive(fakes.console, fakes.host, fakes.registry, componentsKey, &storeRoot);
    keyHeld = static_cast<bool>(componentsKey);
    return result;
  }

  FakePlatform fakes;
  std::u16string storeRoot;
  bool keyHeld = false;
};

TEST(LoadComponentsHiveTest, PathsFromTheWindowsDirectory) {
  const struct {
    std::u16string windowsDirectory;
    bool wow64;
    std::u16string storeRoot;
    std::u16string hivePath;
  } rows[] = {
      {u"C:\\Windows", false, u"\\\\?\\C:\\Windows\\winsxs\\", u"C:\\Windows\\System32\\config\\COMPONENTS"},
      {u"C:\\Windows", true, u"\\\\?\\C:\\Windows\\winsxs\\", u"C:\\Windows\\SysNative\\config\\COMPONENTS"},
      {u"D:\\WINNT\\", false, u"\\\\?\\D:\\WINNT\\\\winsxs\\", u"D:\\WINNT\\\\System32\\config\\COMPONENTS"},
      {u"C:\\" + std::u16string(256, u'w'), false, u"\\\\?\\C:\\" + std::u16string(256, u'w') + u"\\winsxs\\",
       u"C:\\" + std::u16string(256, u'w') + u"\\System32\\config\\COMPONENTS"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf8(row.windowsDirectory) + (row.wow64 ? " (WOW64)" : ""));
    HiveSystem system;
    FakeHost& host = system.fakes.host;
    host.windowsDirectory = row.windowsDirectory;
    host.wow64 = row.wow64;
    host.existingFiles = {row.hivePath};
    system.fakes.registry.AddHiveFile(row.hivePath).Subkey(u"DerivedData\\Components");

    ASSERT_EQ(system.Load(), Hresult::Ok);
    EXPECT_TRUE(system.keyHeld);
    EXPECT_EQ(system.storeRoot, row.storeRoot);
    EXPECT_EQ(host.fileExistsQueries, std::vector<std::u16string>{row.hivePath});
    ASSERT_EQ(system.fakes.registry.loads.size(), 1u);
    EXPECT_EQ(system.fakes.registry.loads[0].parent, kLocalMachine);
    EXPECT_EQ(system.fakes.registry.loads[0].subKey, u"COMPONENTS");
    EXPECT_EQ(system.fakes.registry.loads[0].file, row.hivePath);
    ASSERT_EQ(system.fakes.registry.opens.size(), 1u);
    EXPECT_EQ(system.fakes.registry.opens[0].path, kComponentsListKey);
    EXPECT_EQ(system.fakes.registry.opens[0].options, kRegOptionBackupRestore);
    EXPECT_EQ(system.fakes.registry.opens[0].access, kKeyRead);
    EXPECT_EQ(system.fakes.console.output, u"");
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(LoadComponentsHiveTest, UnreadableWindowsDirectoryEndsSilentlyWithTheLastError) {
  const struct {
    const char* name;
    std::optional<std::uint32_t> result;
    std::u16string directory;
    std::uint32_t lastError;
    std::uint32_t expected;
  } rows[] = {
      {"call fails", 0u, u"C:\\Windows", 5, 0x80070005},
      {"call fails without a code", 0u, u"C:\\Windows", 0, 0x80004005},
      {"260 characters", std::nullopt, u"C:\\" + std::u16string(257, u'w'), 0, 0x80004005},
      {"far too long", std::nullopt, u"C:\\" + std::u16string(1000, u'w'), 0xC0000001, 0xC0000001},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HiveSystem system;
    system.fakes.host.windowsDirectoryResult = row.result;
    system.fakes.host.windowsDirectory = row.directory;
    system.fakes.host.lastError = row.lastError;

    EXPECT_EQ(Bits(system.Load()), row.expected);
    EXPECT_EQ(system.fakes.console.output, u"");
    EXPECT_TRUE(system.fakes.host.fileExistsQueries.empty());
    EXPECT_TRUE(system.fakes.registry.loads.empty());
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(LoadComponentsHiveTest, MissingHiveFile) {
  HiveSystem system;
  system.fakes.host.existingFiles.clear();

  EXPECT_EQ(Bits(system.Load()), 0x80070002u);
  EXPECT_EQ(system.fakes.console.output, u"COMPONENTS注册表不存在，无法执行修复。\n");
  EXPECT_TRUE(system.fakes.registry.loads.empty());
  ExpectEverythingReleased(system.fakes);
}

TEST(LoadComponentsHiveTest, MountFailures) {
  const struct {
    Win32Status status;
    std::u16string_view printed;
    std::uint32_t expected;
  } rows[] = {
      {Win32Status::SharingViolation, u"0x00000020", 0x80070020},
      {Win32Status::AccessDenied, u"0x00000005", 0x80070005},
      {Win32Status::BadDb, u"0x000003F1", 0x800703F1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.status));
    HiveSystem system;
    system.fakes.registry.loadStatus = row.status;

    EXPECT_EQ(Bits(system.Load()), row.expected);
    EXPECT_EQ(system.fakes.console.output,
              u"COMPONENTS注册表无法加载，lStatus=" + std::u16string(row.printed) + u"。无法执行修复。\n");
    EXPECT_TRUE(system.fakes.registry.opens.empty());
    EXPECT_FALSE(system.keyHeld);
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(LoadComponentsHiveTest, ComponentsKeyThatDoesNotOpen) {
  const struct {
    Win32Status status;
    bool handleReturnedAnyway;
    std::u16string_view printed;
    std::uint32_t expected;
  } rows[] = {
      {Win32Status::FileNotFound, false, u"0x00000002", 0x80070002},
      {Win32Status::AccessDenied, true, u"0x00000005", 0x80070005},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.status));
    HiveSystem system;
    system.fakes.registry.FailOpen(kComponentsListKey, row.status, row.handleReturnedAnyway);

    EXPECT_EQ(Bits(system.Load()), row.expected);
    EXPECT_EQ(system.fakes.console.output,
              u"COMPONENTS注册表无法打开，lStatus=" + std::u16string(row.printed) + u"。无法执行修复。\n");
    EXPECT_FALSE(system.keyHeld);
    ExpectEverythingReleased(system.fakes);
  }
}

}  // namespace
}  // namespace tessaly
