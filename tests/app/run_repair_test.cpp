#include "app/run_repair.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "app/support_contact.h"
#include "fakes/fake_platform.h"
#include "fakes/working_system.h"
#include "servicing/native_path_hash.h"

namespace tessaly {
namespace {

using namespace fakes;

constexpr char16_t kBanner[] = u"\nTessaly\n版本：1.0.0.1001\n\n";
constexpr char16_t kNotWindows10[] = u"程序仅支持Windows 10以及对应的服务器版本，暂时不支持其他系统！\n";

std::u16string Summary(std::u16string_view lead) { return std::u16string(lead) + kSupportGroupNumber + u"\n"; }
const std::u16string kNothingFound =
    Summary(u"没有发现任何问题，程序不会对系统进行任何更改！如有疑问，请反馈到 QQ群：");
const std::u16string kRepaired = Summary(u"修复完成！请确认相关问题是否已经修复。如有疑问，请反馈到 QQ群：");
const std::u16string kRepairedWithProblems = Summary(u"修复完成，但是遇到一些问题，如有疑问，请反馈到 QQ群：");

std::u16string PrivilegeMessage(std::u16string_view status) {
  return u"特权提升失败 hr=" + std::u16string(status) +
         u"，可能是域配置不允许提升特权 或者 其他杀毒软件干扰所致，建议你联系管理员或者反馈给我们。\n";
}

constexpr std::uint32_t kRegSz = 1;

FakeServicingLibrary::Exports ServicingExportsWithout(const char* missing) {
  FakeServicingLibrary::Exports exports = FakeServicingLibrary::ServicingExports(NativeServicingHash());
  exports.erase(missing);
  return exports;
}

std::uint32_t RunWith(FakePlatform& fakes, RepairMode mode = RepairMode::Repair) {
  return static_cast<std::uint32_t>(RunRepair(fakes.Seams(), mode));
}

// The step whose failure ends the run; none of the later steps may start.
enum class Step { VersionGate, Privileges, Binding, Hive, Commit };

struct FailureRow {
  std::string name;
  std::function<void(FakePlatform&)> breakSystem;
  std::u16string message;  // everything printed after the banner
  std::uint32_t exitCode;
  Step failingStep;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

std::vector<FailureRow> FailureRows() {
  return {
      {"Windows63", [](FakePlatform& f) { f.host.osVersion = {6, 3}; }, kNotWindows10, 0x80004001,
       Step::VersionGate},
      {"Windows101", [](FakePlatform& f) { f.host.osVersion = {10, 1}; }, kNotWindows10, 0x80004001,
       Step::VersionGate},
      {"BackupPrivilegeRefused",
       [](FakePlatform& f) { f.host.privilegeResults[kSeBackupPrivilege] = NtStatus::PrivilegeNotHeld; },
       PrivilegeMessage(u"0xC0000061"), 0xC0000061, Step::Privileges},
      {"RestorePrivilegeRefused",
       [](FakePlatform& f) { f.host.privilegeResults[kSeRestorePrivilege] = static_cast<NtStatus>(0xC0000022); },
       PrivilegeMessage(u"0xC0000022"), 0xC0000022, Step::Privileges},
      {"VersionKeyMissing",
       [](FakePlatform& f) { f.registry.FailOpen(kServicingVersionKey, Win32Status::FileNotFound); },
       u"无法获取CBS目录 lStatus=2。\n", 0x80004002, Step::Binding},
      {"VersionKeyDeniedWithHandle",
       [](FakePlatform& f) { f.registry.FailOpen(kServicingVersionKey, Win32Status::AccessDenied, true); },
       u"无法获取CBS目录 lStatus=5。\n", 0x80004002, Step::Binding},
      {"VersionKeyWithoutValues",
       [](FakePlatform& f) { ServicingVersionKey(f).DeleteValue(kServicingStackValueName); },
       u"无法获取CBS目录。\n", 0x80004002, Step::Binding},
      {"VersionValueNotExpandable",
       [](FakePlatform& f) {
         ServicingVersionKey(f).SetString(kServicingStackValueName, kRegSz, kServicingStackValue);
       },
       u"无法获取CBS目录。\n", 0x80004002, Step::Binding},
      {"WcpNotLoadable", [](FakePlatform& f) { f.host.environment[u"SystemRoot"] = u"D:\\Windows"; },
       u"无法加载CBS。\n", 0x80004002, Step::Binding},
      {"HashExportMissing",
       [](FakePlatform& f) { f.servicingLibrary.AddLibrary(kWcpPath, ServicingExportsWithout(kHashExportName)); },
       u"无法加载CBS。\n", 0x80004002, Step::Binding},
      {"DowncaseExportMissing",
       [](FakePlatform& f) { f.servicingLibrary.AddLibrary(kWcpPath, ServicingExportsWithout(kDowncaseExportName)); },
       u"无法加载CBS。\n", 0x80004002, Step::Binding},
      {"WindowsDirectoryUnreadable",
       [](FakePlatform& f) {
         f.host.windowsDirectoryResult = 0;
         f.host.lastError = 5;
       },
       u"", 0x80070005, Step::Hive},
      {"WindowsDirectoryTooLong",
       [](FakePlatform& f) { f.host.windowsDirectory = u"C:\\" + std::u16string(257, u'w'); },  // 260 characters
       u"", 0x80004005, Step::Hive},
      {"HiveFileMissing", [](FakePlatform& f) { f.host.existingFiles.clear(); },
       u"COMPONENTS注册表不存在，无法执行修复。\n", 0x80070002, Step::Hive},
      {"HiveNotLoadable", [](FakePlatform& f) { f.registry.loadStatus = Win32Status::SharingViolation; },
       u"COMPONENTS注册表无法加载，lStatus=0x00000020。无法执行修复。\n", 0x80070020, Step::Hive},
      {"ComponentsKeyMissing",
       [](FakePlatform& f) { f.registry.FailOpen(kComponentsListKey, Win32Status::FileNotFound); },
       u"COMPONENTS注册表无法打开，lStatus=0x00000002。无法执行修复。\n", 0x80070002, Step::Hive},
      {"ComponentsKeyDeniedWithHandle",
       [](FakePlatform& f) { f.registry.FailOpen(kComponentsListKey, Win32Status::AccessDenied, true); },
       u"COMPONENTS注册表无法打开，lStatus=0x00000005。无法执行修复。\n", 0x80070005, Step::Hive},
      {"HiveNotSaved", [](FakePlatform& f) { f.registry.commitStatus = Win32Status::RegistryIoFailed; },
       u"COMPONENTS注册表无法保存，lStatus=0x000003F8。修复未能写入，系统未作任何更改。\n", 0x800703F8, Step::Commit},
  };
}

class RunRepairFailureTest : public testing::TestWithParam<FailureRow> {};

TEST_P(RunRepairFailureTest, PrintsOneMessageReturnsItsCodeAndStopsThere) {
  const FailureRow& row = GetParam();
  FakePlatform fakes;
  AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");
  row.breakSystem(fakes);

  EXPECT_EQ(RunWith(fakes), row.exitCode);
  EXPECT_EQ(fakes.console.output, kBanner + row.message);
  ExpectEverythingReleased(fakes);

  const Step failed = row.failingStep;
  EXPECT_EQ(fakes.host.privilegeRequests.empty(), failed < Step::Privileges);
  EXPECT_EQ(fakes.registry.opens.empty(), failed < Step::Binding);
  EXPECT_EQ(fakes.events.Contains("windows directory"), failed >= Step::Hive);
  EXPECT_EQ(fakes.events.Contains("enum key"), failed >= Step::Commit);
  EXPECT_EQ(fakes.registry.commits, failed >= Step::Commit ? 1 : 0);
  if (failed < Step::Hive) {
    EXPECT_TRUE(fakes.registry.loads.empty());
  }
  // A servicing library that was loaded is freed last, after the message.
  if (fakes.events.Contains("free library")) {
    EXPECT_EQ(fakes.events.Last("free library"), fakes.events.Entries().size() - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(FailureTable, RunRepairFailureTest, testing::ValuesIn(FailureRows()),
                         [](const testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

TEST(RunRepairTest, BackupPrivilegeRefusalStopsBeforeTheRestorePrivilege) {
  FakePlatform fakes;
  InstallWorkingSystem(fakes);
  fakes.host.privilegeResults[kSeBackupPrivilege] = NtStatus::PrivilegeNotHeld;

  RunWith(fakes);

  ASSERT_EQ(fakes.host.privilegeRequests.size(), 1u);
  EXPECT_EQ(fakes.host.privilegeRequests[0].privilege, kSeBackupPrivilege);
  EXPECT_TRUE(fakes.servicingLibrary.loadRequests.empty());
}

TEST(RunRepairTest, EnablesBackupThenRestoreForTheWholeProcess) {
  FakePlatform fakes;
  InstallWorkingSystem(fakes);

  EXPECT_EQ(RunWith(fakes), 0u);

  ASSERT_EQ(fakes.host.privilegeRequests.size(), 2u);
  EXPECT_EQ(fakes.host.privilegeRequests[0].privilege, 17u);
  EXPECT_EQ(fakes.host.privilegeRequests[1].privilege, 18u);
  for (const auto& request : fakes.host.privilegeRequests) {
    EXPECT_TRUE(request.enable);
    EXPECT_FALSE(request.currentThreadOnly);
  }
}

TEST(RunRepairTest, SelectsTheChineseLocaleBeforeAnything) {
  FakePlatform fakes;
  InstallWorkingSystem(fakes);

  RunWith(fakes);

  ASSERT_FALSE(fakes.events.Entries().empty());
  EXPECT_EQ(fakes.events.Entries().front(), "setlocale .936");
}

// One file of component x86_component with its record.
struct ComponentFile {
  std::u16string relativePath;
  std::string content;
  std::u16string recordName;
  std::uint32_t record;
  Win32Status rewriteStatus;
};

struct SummaryRow {
  std::string name;
  std::vector<ComponentFile> files;
  std::u16string messages;  // printed between the banner and the summary
  std::u16string summary;
};

void PrintTo(const SummaryRow& row, std::ostream* out) { *out << row.name; }

constexpr char16_t kComponentDirectory[] = u"\\\\?\\C:\\Windows\\winsxs\\x86_component\\";

std::vector<SummaryRow> SummaryRows() {
  const ComponentFile intact{u"intact.dll", "DCD", u"f!intact.dll", 0x02, Win32Status::Success};
  const ComponentFile repairable{u"a.dll", "MZ\x90", u"f!a.dll", 0x02, Win32Status::Success};
  const ComponentFile denied{u"b.dll", "MZ\x90", u"f!b.dll", 0x20, Win32Status::AccessDenied};
  return {
      {"NothingToRepair", {intact}, u"", kNothingFound},
      {"Repaired",
       {intact, repairable},
       std::u16string(u"发现 ") + kComponentDirectory + u"a.dll 存在异常，执行修复成功！\n",
       kRepaired},
      {"OnlyFailedRewrites",
       {denied},
       std::u16string(u"发现 ") + kComponentDirectory + u"b.dll 存在异常，但执行修复失败，hr=0x00000005！\n",
       kRepairedWithProblems},
      {"RepairedAndFailed",
       {repairable, denied},
       std::u16string(u"发现 ") + kComponentDirectory + u"a.dll 存在异常，执行修复成功！\n" + u"发现 " +
           kComponentDirectory + u"b.dll 存在异常，但执行修复失败，hr=0x00000005！\n",
       kRepairedWithProblems},
  };
}

class RunRepairSummaryTest : public testing::TestWithParam<SummaryRow> {};

TEST_P(RunRepairSummaryTest, ClosesWithTheSummaryOfTheOutcomeAndExitsWithZero) {
  const SummaryRow& row = GetParam();
  FakePlatform fakes;
  FakeKey& component = AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");
  for (const ComponentFile& file : row.files) {
    AddComponentFile(fakes, component, file.relativePath, file.content);
    component.SetDword(file.recordName, file.record);
    if (file.rewriteStatus != Win32Status::Success) fakes.registry.FailSetValue(file.recordName, file.rewriteStatus);
  }

  EXPECT_EQ(RunWith(fakes), 0u);
  EXPECT_EQ(fakes.console.output, kBanner + row.messages + row.summary);
  ExpectEverythingReleased(fakes);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RunRepairSummaryTest, testing::ValuesIn(SummaryRows()),
                         [](const testing::TestParamInfo<SummaryRow>& info) { return info.param.name; });

TEST(RunRepairTest, EmptyComponentsListFindsNothing) {
  FakePlatform fakes;
  InstallWorkingSystem(fakes);

  EXPECT_EQ(RunWith(fakes), 0u);
  EXPECT_EQ(fakes.console.output, kBanner + kNothingFound);
  ExpectEverythingReleased(fakes);
}

TEST(RunRepairTest, RepairReachesTheMountedHive) {
  FakePlatform fakes;
  FakeKey& component = AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");
  AddComponentFile(fakes, component, u"a.dll", "MZ\x90");
  component.SetDword(u"f!a.dll", 0x0122);

  EXPECT_EQ(RunWith(fakes), 0u);

  // The hive stays mounted after the run, with the claim cleared.
  const FakeKey* mounted = fakes.registry.LocalMachine().Find(u"COMPONENTS\\DerivedData\\Components\\x86_component");
  ASSERT_NE(mounted, nullptr);
  EXPECT_EQ(mounted->Dword(u"f!a.dll"), 0x0120u);
}

TEST(RunRepairTest, ReleasesInOrderAfterTheSummary) {
  FakePlatform fakes;
  AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");

  RunWith(fakes);

  const EventLog& events = fakes.events;
  const std::size_t versionKeyClosed = events.First("close HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                                    "Component Based Servicing\\Version");
  const std::size_t hiveLoaded = events.First("load COMPONENTS");
  const std::size_t committed = events.First("commit COMPONENTS");
  const std::size_t summaryPrinted = events.First("print " + Utf8(kNothingFound));
  // The component keys' paths start with the list key's, and they are closed before it.
  const std::size_t componentsKeyClosed = events.Last("close HKLM\\COMPONENTS\\DerivedData\\Components");
  const std::size_t libraryFreed = events.First("free library");

  ASSERT_NE(libraryFreed, EventLog::npos);
  EXPECT_LT(versionKeyClosed, hiveLoaded);
  EXPECT_LT(events.Last("enum key"), committed);
  EXPECT_LT(committed, summaryPrinted);
  EXPECT_LT(summaryPrinted, componentsKeyClosed);
  EXPECT_LT(componentsKeyClosed, libraryFreed);
  EXPECT_EQ(libraryFreed, events.Entries().size() - 1);
}

// A dry run goes through every step of a repair run, lists what that run
// would repair, in the same order and words up to the suffix, and ends with
// the count, writing nothing and committing nothing.
TEST(RunRepairTest, DryRunListsWhatARepairWouldChangeAndWritesNothing) {
  const auto install = [](FakePlatform& fakes) {
    FakeKey& component = AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");
    for (const auto& [name, content, record] : {std::tuple{u"a.dll", "MZ\x90", 0x02u}, std::tuple{u"b.dll", "DCD", 0x02u},
                                                std::tuple{u"c.dll", "DCD", 0x20u}}) {
      AddComponentFile(fakes, component, name, content);
      component.SetDword(u"f!" + std::u16string(name), record);
    }
    // A rewrite that a real run would fail at is still listed: nothing is attempted.
    fakes.registry.FailSetValue(u"f!c.dll", Win32Status::AccessDenied);
  };
  FakePlatform dryRun;
  install(dryRun);

  EXPECT_EQ(RunWith(dryRun, RepairMode::DryRun), 0u);

  const std::u16string listed = std::u16string(u"发现 ") + kComponentDirectory + u"a.dll 存在异常（试运行，未修改）\n" +
                                u"发现 " + kComponentDirectory + u"c.dll 存在异常（试运行，未修改）\n";
  EXPECT_EQ(dryRun.console.output, kBanner + listed + u"试运行：发现 2 处异常，未作任何更改。\n");
  EXPECT_TRUE(dryRun.registry.sets.empty());
  EXPECT_EQ(dryRun.registry.commits, 0);
  EXPECT_EQ(dryRun.host.privilegeRequests.size(), 2u);
  ExpectEverythingReleased(dryRun);

  FakePlatform repair;
  install(repair);
  RunWith(repair);
  EXPECT_EQ(repair.console.output,
            std::u16string(kBanner) + u"发现 " + kComponentDirectory + u"a.dll 存在异常，执行修复成功！\n" + u"发现 " +
                kComponentDirectory + u"c.dll 存在异常，但执行修复失败，hr=0x00000005！\n" + kRepairedWithProblems);
}

TEST(RunRepairTest, DryRunOfAHealthyStoreCountsNothing) {
  FakePlatform fakes;
  AddSelectedComponent(InstallWorkingSystem(fakes), u"x86_component");

  EXPECT_EQ(RunWith(fakes, RepairMode::DryRun), 0u);
  EXPECT_EQ(fakes.console.output, kBanner + std::u16string(u"试运行：发现 0 处异常，未作任何更改。\n"));
  EXPECT_EQ(fakes.registry.commits, 0);
  ExpectEverythingReleased(fakes);
}

struct BannerRow {
  std::string name;
  std::function<void(FakeOwnResources&)> setResources;
  std::u16string banner;
};

void PrintTo(const BannerRow& row, std::ostream* out) { *out << row.name; }

std::vector<BannerRow> BannerRows() {
  return {
      {"OwnVersion", [](FakeOwnResources&) {}, u"\nTessaly\n版本：1.0.0.1001\n\n"},
      {"HalvesInOrder", [](FakeOwnResources& r) { r.version = {0x00010002, 0x00030004}; },
       u"\nTessaly\n版本：1.2.3.4\n\n"},
      {"FullSixteenBitParts", [](FakeOwnResources& r) { r.version = {0xFFFFFFFE, 0x8000000F}; },
       u"\nTessaly\n版本：65535.65534.32768.15\n\n"},
      {"NoResource", [](FakeOwnResources& r) { r.hasResource = false; }, u"\nTessaly\n版本：0.0.0.0\n\n"},
      {"ResourceNotLoading", [](FakeOwnResources& r) { r.loads = false; }, u"\nTessaly\n版本：0.0.0.0\n\n"},
      {"EmptyResource", [](FakeOwnResources& r) { r.block.clear(); }, u"\nTessaly\n版本：0.0.0.0\n\n"},
      {"QueryFails", [](FakeOwnResources& r) { r.queryResult = false; }, u"\nTessaly\n版本：0.0.0.0\n\n"},
  };
}

class RunRepairBannerTest : public testing::TestWithParam<BannerRow> {};

TEST_P(RunRepairBannerTest, ShowsTheFileVersionAndGoesOn) {
  FakePlatform fakes;
  InstallWorkingSystem(fakes);
  GetParam().setResources(fakes.ownResources);

  EXPECT_EQ(RunWith(fakes), 0u);
  EXPECT_EQ(fakes.console.output, GetParam().banner + kNothingFound);
}

INSTANTIATE_TEST_SUITE_P(Versions, RunRepairBannerTest, testing::ValuesIn(BannerRows()),
                         [](const testing::TestParamInfo<BannerRow>& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
