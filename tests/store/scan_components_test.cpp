#include "store/scan_components.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_platform.h"
#include "fakes/working_system.h"
#include "servicing/native_path_hash.h"

namespace tessaly {
namespace {

using namespace fakes;

// The open DerivedData\Components key and a component store under kStoreRoot.
class ComponentStore {
 public:
  ComponentStore() : list_(fakes.registry.LocalMachine().Subkey(u"COMPONENTS\\DerivedData\\Components")) {
    EXPECT_EQ(fakes.registry.OpenKeyEx(kLocalMachine, u"COMPONENTS\\DerivedData\\Components", kRegOptionBackupRestore,
                                       kKeyRead, &listHandle_),
              Win32Status::Success);
  }
  ~ComponentStore() {
    if (listHandle_ != KeyHandle::None) fakes.registry.CloseKey(listHandle_);
  }

  // Closes the list key this test opened, then checks the scan left nothing else open.
  void ExpectScanReleasedEverything() {
    fakes.registry.CloseKey(std::exchange(listHandle_, KeyHandle::None));
    ExpectEverythingReleased(fakes);
  }

  // A component whose a.dll wrongly claims the DCD form, so walking it repairs one record.
  FakeKey& AddComponent(std::u16string_view name) {
    FakeKey& component = list_.Subkey(name);
    AddComponentFile(fakes, component, u"a.dll", "abc");
    component.SetDword(u"f!a.dll", 0x02);
    return component;
  }

  FakeKey& AddSelectedComponent(std::u16string_view name) { return AddComponent(name).SetDword(u"CF", 0x200); }

  RepairOutcome Scan(RepairMode mode = RepairMode::Repair) {
    return ScanComponents(fakes.console, fakes.registry, fakes.files, NativeServicingHash(), listHandle_, kStoreRoot,
                          mode, &wrongRecords);
  }

  bool Walked(const FakeKey& component) const { return component.Dword(u"f!a.dll") == 0u; }

  FakePlatform fakes;
  std::uint32_t wrongRecords = 0;

 private:
  FakeKey& list_;
  KeyHandle listHandle_ = KeyHandle::None;
};

TEST(ScanComponentsTest, Selection) {
  const struct {
    const char* name;
    std::function<void(FakeKey&)> setValues;
    bool walked;
  } rows[] = {
      {"CF 0x200", [](FakeKey& k) { k.SetDword(u"CF", 0x200); }, true},
      {"CF 0x201", [](FakeKey& k) { k.SetDword(u"CF", 0x201); }, true},
      {"CF all bits", [](FakeKey& k) { k.SetDword(u"CF", 0xFFFFFFFF); }, true},
      {"CF 0x1FF", [](FakeKey& k) { k.SetDword(u"CF", 0x1FF); }, false},
      {"CF 0", [](FakeKey& k) { k.SetDword(u"CF", 0); }, false},
      {"no CF", [](FakeKey&) {}, false},
      {"CF as REG_BINARY", [](FakeKey& k) { k.SetValue(u"CF", kRegBinary, {0x00, 0x02, 0x00, 0x00}); }, false},
      {"CF as REG_QWORD", [](FakeKey& k) { k.SetValue(u"CF", 11, {0x00, 0x02, 0, 0, 0, 0, 0, 0}); }, false},
      {"DV REG_DWORD", [](FakeKey& k) { k.SetDword(u"CF", 0x200).SetDword(u"DV", 0); }, false},
      {"DV REG_SZ", [](FakeKey& k) { k.SetDword(u"CF", 0x200).SetString(u"DV", 1, u"10.0.19041.1"); }, false},
      {"DV empty REG_BINARY", [](FakeKey& k) { k.SetDword(u"CF", 0x200).SetValue(u"DV", kRegBinary, {}); }, false},
      {"DV with a longer name", [](FakeKey& k) { k.SetDword(u"CF", 0x200).SetDword(u"DVX", 0); }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComponentStore store;
    FakeKey& component = store.AddComponent(u"x86_component");
    row.setValues(component);

    const RepairOutcome outcome = store.Scan();

    EXPECT_EQ(store.Walked(component), row.walked);
    EXPECT_EQ(outcome, row.walked ? kRecordRewritten : 0u);
    EXPECT_EQ(store.fakes.files.listedDirectories,
              row.walked ? std::vector<std::u16string>{kStoreRoot + std::u16string(u"x86_component\\*")}
                         : std::vector<std::u16string>{});
    if (!row.walked) {
      EXPECT_EQ(store.fakes.console.output, u"");
    }
    store.ExpectScanReleasedEverything();
  }
}

TEST(ScanComponentsTest, ComponentKeysAreOpenedForRewriting) {
  ComponentStore store;
  store.AddSelectedComponent(u"x86_component");

  store.Scan();

  const auto& opens = store.fakes.registry.opens;
  ASSERT_EQ(opens.size(), 2u);  // the list key, then the component
  EXPECT_EQ(opens[1].path, kComponentsListKey + std::u16string(u"\\x86_component"));
  EXPECT_EQ(opens[1].options, kRegOptionBackupRestore);
  EXPECT_EQ(opens[1].access, kKeyReadWrite);
}

TEST(ScanComponentsTest, KeyThatDoesNotOpenIsPassedOver) {
  ComponentStore store;
  FakeKey& first = store.AddSelectedComponent(u"first");
  FakeKey& locked = store.AddSelectedComponent(u"locked");
  FakeKey& last = store.AddSelectedComponent(u"last");
  store.fakes.registry.FailOpen(kComponentsListKey + std::u16string(u"\\locked"), Win32Status::AccessDenied, true);

  EXPECT_EQ(store.Scan(), kRecordRewritten);
  EXPECT_TRUE(store.Walked(first));
  EXPECT_FALSE(store.Walked(locked));
  EXPECT_TRUE(store.Walked(last));
  store.ExpectScanReleasedEverything();
}

TEST(ScanComponentsTest, EnumerationErrorEndsTheScanWithTheOutcomeSoFar) {
  ComponentStore store;
  FakeKey& first = store.AddSelectedComponent(u"first");
  FakeKey& second = store.AddSelectedComponent(u"second");
  FakeKey& third = store.AddSelectedComponent(u"third");
  store.fakes.registry.FailEnumKey(kComponentsListKey, 1, Win32Status::RegistryCorrupt);

  EXPECT_EQ(store.Scan(), kRecordRewritten);
  EXPECT_TRUE(store.Walked(first));
  EXPECT_FALSE(store.Walked(second));
  EXPECT_FALSE(store.Walked(third));
  EXPECT_EQ(store.fakes.registry.openKeysAtEnumKey.size(), 2u);
  store.ExpectScanReleasedEverything();
}

TEST(ScanComponentsTest, EachComponentKeyIsClosedBeforeTheNextNameIsRead) {
  ComponentStore store;
  store.AddSelectedComponent(u"walked");
  store.AddComponent(u"passed over");
  store.AddComponent(u"with DV").SetDword(u"CF", 0x200).SetDword(u"DV", 1);
  store.AddSelectedComponent(u"also walked");

  store.Scan();

  // Only the list key itself is open whenever a name is read.
  EXPECT_EQ(store.fakes.registry.openKeysAtEnumKey, std::vector<std::size_t>(5, 1));
  store.ExpectScanReleasedEverything();
}

TEST(ScanComponentsTest, OutcomesOfComponentsCombine) {
  ComponentStore store;
  store.AddSelectedComponent(u"repaired");
  FakeKey& denied = store.AddSelectedComponent(u"denied");
  AddComponentFile(store.fakes, denied, u"b.dll", "abc");
  denied.SetDword(u"f!b.dll", 0x20);
  store.fakes.registry.FailSetValue(u"f!b.dll", Win32Status::AccessDenied);

  EXPECT_EQ(store.Scan(), kRecordRewritten | kRewriteFailed);
  // a.dll in both components, and the b.dll whose rewrite failed.
  EXPECT_EQ(store.wrongRecords, 3u);
}

TEST(ScanComponentsTest, DryRunCountsOverComponentsAndWritesNothing) {
  ComponentStore store;
  FakeKey& first = store.AddSelectedComponent(u"first");
  FakeKey& second = store.AddSelectedComponent(u"second");
  store.AddComponent(u"not selected");

  EXPECT_EQ(store.Scan(RepairMode::DryRun), 0u);
  EXPECT_EQ(store.wrongRecords, 2u);
  EXPECT_FALSE(store.Walked(first));
  EXPECT_FALSE(store.Walked(second));
  EXPECT_TRUE(store.fakes.registry.sets.empty());
  store.ExpectScanReleasedEverything();
}

TEST(ScanComponentsTest, EmptyListGivesNothing) {
  ComponentStore store;

  EXPECT_EQ(store.Scan(), 0u);
  EXPECT_EQ(store.fakes.console.output, u"");
  EXPECT_EQ(store.fakes.registry.openKeysAtEnumKey.size(), 1u);
  store.ExpectScanReleasedEverything();
}

TEST(ScanComponentsTest, LongestComponentNameIsWalked) {
  ComponentStore store;
  const std::u16string name(255, u'c');
  FakeKey& component = store.AddSelectedComponent(name);

  EXPECT_EQ(store.Scan(), kRecordRewritten);
  EXPECT_TRUE(store.Walked(component));
}

}  // namespace
}  // namespace tessaly
