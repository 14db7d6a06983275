// The real tool on images whose COMPONENTS hive was damaged or crafted after
// it was written: refused at load when Windows would refuse it, whatever
// its lists claim, in bounded memory; a record whose data is not where
// Windows keeps a DWORD is never rewritten.

#include <gtest/gtest.h>

#include <functional>

#include "hive_edit.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/log_writer.h"
#include "tree_state.h"

namespace tessaly::offline_test {
namespace {

constexpr char kComponent[] = "amd64_crafted-hive_31bf3856ad364e35_10.0.19041.1_none_0000000000000001";
const std::string kComponentList = "DerivedData\\Components";
const std::string kComponentKey = kComponentList + "\\" + kComponent;
const std::string kRefused = "COMPONENTS注册表无法加载，lStatus=0x000003F1。无法执行修复。\n";

// An image with a component that a run past the load would repair.
void WriteRepairableImage(TestImage& image) {
  image.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue(RecordName(u"a.dll"), 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.Write();
}


// An "ri" of 65,535 entries, all naming one "li" of 65,535 entries, all
// naming one component: 4.29 billion subkeys from half a megabyte.
void ListOneComponentOverAndOver(HiveEdit& hive, std::uint32_t subkeyCount) {
  const CellOffset list = hive.Key(kComponentList);
  const CellOffset leaf = hive.AppendCell(ListCell("li", 0xFFFF, hive.Key(kComponentKey)));
  hive.SetField(list, kKeySubkeyList, hive.AppendCell(ListCell("ri", 0xFFFF, leaf)));
  hive.SetField(list, kKeySubkeyCount, subkeyCount);
}

struct CraftedRow {
  const char* name;
  std::function<void(HiveEdit&)> craft;
};

void PrintTo(const CraftedRow& row, std::ostream* out) { *out << row.name; }

std::vector<CraftedRow> CraftedRows() {
  return {
      {"FirstBinSignatureGarbage", [](HiveEdit& hive) { hive.SetBinBytes(0, "\x01\x02\x03\x04"); }},
      {"ComponentListIsAKeyNode",
       [](HiveEdit& hive) {
         const CellOffset list = hive.Key(kComponentList);
         hive.SetField(list, kKeySubkeyList, list);
       }},
      {"RiOfLeavesNamingOneComponentCountedOnce", [](HiveEdit& hive) { ListOneComponentOverAndOver(hive, 1); }},
      {"RiOfLeavesNamingOneComponentCountedInFull",
       [](HiveEdit& hive) { ListOneComponentOverAndOver(hive, 0xFFFFFFFF); }},
  };
}

class CraftedHiveTest : public testing::TestWithParam<CraftedRow> {};

TEST_P(CraftedHiveTest, IsRefusedAtLoadInBoundedMemoryWritingNothing) {
  TestImage image;
  WriteRepairableImage(image);
  HiveEdit hive(image.HivePath());
  GetParam().craft(hive);
  hive.WriteTo(image.HivePath());
  const auto before = TreeState(image.Root());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()}, kBoundedMemory);

  EXPECT_EQ(run.output, Banner() + kRefused);
  EXPECT_EQ(run.exitStatus, 0xF1);
  EXPECT_EQ(TreeState(image.Root()), before);
}

INSTANTIATE_TEST_SUITE_P(Offline, CraftedHiveTest, testing::ValuesIn(CraftedRows()),
                         [](const testing::TestParamInfo<CraftedRow>& info) { return info.param.name; });

// The check applies to the hive as its logs leave it: here the logged first
// page carries the garbage signature, over a primary whose logged pages are
// garbage throughout.
TEST(RecoveredHiveTest, IsRefusedWhenTheLogsBringADamagedBin) {
  TestImage image;
  WriteRepairableImage(image);
  HiveEdit hive(image.HivePath());
  hive.SetBinBytes(0, "\x01\x02\x03\x04");
  hive.WriteTo(image.HivePath());
  ASSERT_TRUE(image::MakeHiveFileDirty(image.HivePath(), image::DirtyHiveShape{}));
  const auto before = TreeState(image.Root());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + kRefused);
  EXPECT_EQ(run.exitStatus, 0xF1);
  EXPECT_EQ(TreeState(image.Root()), before);
}

// Windows keeps 4 bytes of data or less in the value node itself. A DWORD
// record whose data is elsewhere is malformed: here it names the
// component's own key node, whose first bytes read as a record claiming
// 0x02 on a file that is not DCD. Rewriting it would overwrite "nk".
TEST(OutOfLineDwordTest, IsReportedAndNotRewritten) {
  TestImage image;
  image.AddComponent(kComponent, {image::DwordValue("CF", 0x200), image::DwordValue(RecordName(u"a.dll"), 0x02),
                                  image::DwordValue(RecordName(u"b.dll"), 0x02)});
  image.AddFile(fs::path(kComponent) / "a.dll", "XYZ");
  image.AddFile(fs::path(kComponent) / "b.dll", "XYZ");
  image.Write();
  HiveEdit hive(image.HivePath());
  const CellOffset component = hive.Key(kComponentKey);
  const CellOffset record = hive.Value(component, RecordName(u"a.dll"));
  hive.SetField(record, kValueDataSize, 4);
  hive.SetField(record, kValueData, component);
  hive.WriteTo(image.HivePath());

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + FailedLine(image, std::string(kComponent) + "\\a.dll", "0x0000065E") +
                            RepairedLine(image, std::string(kComponent) + "\\b.dll") + RepairedWithProblemsSummary());
  EXPECT_EQ(run.exitStatus, 0);
  // The other record was repaired and saved; the key node is as it was.
  HiveEdit saved(image.HivePath());
  EXPECT_EQ(saved.Field(component, 0) & 0xFFFF, std::uint32_t{'n' | 'k' << 8});
  EXPECT_EQ(saved.Field(saved.Value(component, RecordName(u"b.dll")), kValueData), 0x00u);
}

}  // namespace
}  // namespace tessaly::offline_test
