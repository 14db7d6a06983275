// What the hive reader refuses to load, on the bytes of a hive the image
// writer wrote and a test then damaged: bins and cells that do not tile,
// and keys whose subkey or value lists are malformed. And what a crafted
// value's data may cost: no more than the hive holds.

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hive/hive.h"
#include "hive/little_endian.h"
#include "platform/offline/image_tree.h"
#include "tests/platform/offline/opened_image.h"
#include "platform/posix/posix_console.h"
#include "platform/offline/offline_registry.h"
#include "platform/offline/progress_line.h"
#include "registry/registry.h"
#include "tests/offline/hive_edit.h"
#include "tests/offline/test_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using hive::Hive;

hive::HiveImage ImageOf(const std::vector<std::uint8_t>& bytes) { return hive::HiveImage(bytes.begin(), bytes.end()); }

constexpr int kParentSubkeys = 501;  // more than one leaf holds: an "ri" over two
constexpr std::size_t kSegmentSize = 16344;
constexpr std::size_t kBinHeaderSize = 32;

std::uint32_t Negated(std::uint32_t length) { return static_cast<std::uint32_t>(-static_cast<std::int64_t>(length)); }

std::vector<std::uint8_t> BigData() { return std::vector<std::uint8_t>(2 * kSegmentSize + 1, 0x5A); }

// A hive with every kind of list: an "ri" over leaves, value lists, inline,
// cell and big data, laid out over several bins.
image::HiveKey SampleTree() {
  image::HiveKey root{"root", {}, {}};
  image::HiveKey parent{"Parent", {}, {}};
  for (int i = 0; i < kParentSubkeys; ++i) parent.subkeys.push_back({"k" + std::to_string(i), {}, {}});
  root.subkeys.push_back(std::move(parent));
  root.subkeys.push_back({"Values",
                          {image::DwordValue("d", 1), image::BinaryValue("mid", std::vector<std::uint8_t>(100, 7)),
                           image::BinaryValue("big", BigData())},
                          {}});
  return root;
}

class HiveStructureTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image::WriteHive(file_, SampleTree()));
    edit_.emplace(file_);
  }
  void TearDown() override { fs::remove(file_); }

  std::optional<Hive> Open() { return Hive::Open(ImageOf(edit_->Sealed()), 2); }

  const fs::path file_ = fs::path(testing::TempDir()) / ("hive-structure-" + std::to_string(getpid()));
  std::optional<HiveEdit> edit_;
};

TEST_F(HiveStructureTest, TheHiveAsWrittenOpens) {
  std::optional<Hive> hive = Open();
  ASSERT_TRUE(hive);
  EXPECT_EQ(hive->Subkeys(edit_->Key("Parent")).size(), static_cast<std::size_t>(kParentSubkeys));
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(hive->ReadValue(edit_->Value(edit_->Key("Values"), "big"), &type, &data), 0);
  EXPECT_EQ(data, BigData());
}

struct DamageRow {
  const char* name;
  std::function<void(HiveEdit&)> damage;
};

void PrintTo(const DamageRow& row, std::ostream* out) { *out << row.name; }

class RefusedHiveTest : public HiveStructureTest, public testing::WithParamInterface<DamageRow> {};

TEST_P(RefusedHiveTest, IsNotOpened) {
  GetParam().damage(*edit_);
  EXPECT_FALSE(Open());
}

// The first bin starts the bins; a cell's size field comes first, negated
// while the cell is allocated.
constexpr std::size_t kFirstCell = kBinHeaderSize;


std::vector<DamageRow> BinRows() {
  return {
      {"FirstBinSignatureGarbage", [](HiveEdit& hive) { hive.SetBinBytes(0, "hbix"); }},
      {"BinSizeZero", [](HiveEdit& hive) { hive.SetBinField(8, 0); }},
      {"BinSizeNotWholePages", [](HiveEdit& hive) { hive.SetBinField(8, hive.BinField(8) + 512); }},
      {"SecondBinOffsetFieldLies",
       [](HiveEdit& hive) {
         const std::uint32_t second = hive.BinField(8);
         hive.SetBinField(second + 4, second + 4096);
       }},
      {"BinsOverlap", [](HiveEdit& hive) { hive.SetBinField(8, hive.BinField(8) + 4096); }},
      {"LastBinRunsPastTheSpan",
       [](HiveEdit& hive) {
         std::size_t last = 0;
         for (std::size_t bin = 0; bin < hive.Sealed().size() - 4096; bin += hive.BinField(bin + 8)) last = bin;
         hive.SetBinField(last + 8, hive.BinField(last + 8) + 4096);
       }},
      {"CellSizeZero", [](HiveEdit& hive) { hive.SetBinField(kFirstCell, 0); }},
      {"CellSizeNotAMultipleOf8", [](HiveEdit& hive) { hive.SetBinField(kFirstCell, hive.BinField(kFirstCell) + 4); }},
      {"CellCrossesItsBinEnd", [](HiveEdit& hive) { hive.SetBinField(kFirstCell, Negated(hive.BinField(8))); }},
  };
}

INSTANTIATE_TEST_SUITE_P(Bins, RefusedHiveTest, testing::ValuesIn(BinRows()),
                         [](const testing::TestParamInfo<DamageRow>& info) { return info.param.name; });

// A key node's access bits (at 12) lie 16 bytes into its cell, 8-aligned,
// where a list offset may point: the size found there is whatever the bits say.
void PointSubkeyListAtSize(HiveEdit& hive, std::uint32_t size) {
  const CellOffset parent = hive.Key("Parent");
  hive.SetField(parent, 12, size);
  hive.SetField(parent, kKeySubkeyList, parent + 16);
}

// The first leaf under Parent's "ri", and the offset of its n-th entry.
CellOffset FirstLeaf(const HiveEdit& hive) { return hive.Field(hive.Field(hive.Key("Parent"), kKeySubkeyList), 4); }
constexpr std::size_t LeafEntry(std::size_t n) { return 4 + 8 * n; }

std::vector<DamageRow> ListRows() {
  return {
      {"SubkeyListCellSizeZero", [](HiveEdit& hive) { PointSubkeyListAtSize(hive, 0); }},
      {"SubkeyListCellSizeTopBitOnly", [](HiveEdit& hive) { PointSubkeyListAtSize(hive, 0x80000000); }},
      {"RiNamesItself",
       [](HiveEdit& hive) {
         const CellOffset ri = hive.Field(hive.Key("Parent"), kKeySubkeyList);
         hive.SetField(ri, 4, ri);
       }},
      {"RiNamesAnotherRi",
       [](HiveEdit& hive) {
         const CellOffset leaf = FirstLeaf(hive);
         hive.SetField(leaf, 0, (hive.Field(leaf, 0) & 0xFFFF0000u) | 'r' | 'i' << 8);
       }},
      {"LeavesHoldMoreThanTheKeyCounts",
       [](HiveEdit& hive) { hive.SetField(hive.Key("Parent"), kKeySubkeyCount, kParentSubkeys - 1); }},
      {"LeavesHoldFewerThanTheKeyCounts",
       [](HiveEdit& hive) { hive.SetField(hive.Key("Parent"), kKeySubkeyCount, kParentSubkeys + 1); }},
      {"SubkeyCountBeyondWhatTheHiveHolds",
       [](HiveEdit& hive) { hive.SetField(hive.Key("Parent"), kKeySubkeyCount, 0xFFFFFFFF); }},
      {"SubkeyIsAValueNode",
       [](HiveEdit& hive) { hive.SetField(FirstLeaf(hive), LeafEntry(0), hive.Value(hive.Key("Values"), "d")); }},
      {"SubkeyListedTwice",
       [](HiveEdit& hive) {
         const CellOffset leaf = FirstLeaf(hive);
         hive.SetField(leaf, LeafEntry(1), hive.Field(leaf, LeafEntry(0)));
       }},
      {"SubkeyIsTheRoot", [](HiveEdit& hive) { hive.SetField(FirstLeaf(hive), LeafEntry(0), hive.Key("")); }},
      {"ValueCountBeyondItsList",
       [](HiveEdit& hive) { hive.SetField(hive.Key("Values"), kKeyValueCount, 1000); }},
      {"ValueListCellFree",
       [](HiveEdit& hive) {
         const CellOffset values = hive.Key("Values");
         hive.SetField(values, kKeyValueList, values + 16);
       }},
      {"ValueIsNotAValueNode",
       [](HiveEdit& hive) {
         const CellOffset values = hive.Key("Values");
         hive.SetField(hive.Field(values, kKeyValueList), 0, hive.Field(hive.Value(values, "mid"), kValueData));
       }},
      {"ValueListedTwice",
       [](HiveEdit& hive) {
         const CellOffset list = hive.Field(hive.Key("Values"), kKeyValueList);
         hive.SetField(list, 4, hive.Field(list, 0));
       }},
      {"TwoKeysShareOneValueList",
       [](HiveEdit& hive) {
         const CellOffset parent = hive.Key("Parent");
         hive.SetField(parent, kKeyValueCount, 3);
         hive.SetField(parent, kKeyValueList, hive.Field(hive.Key("Values"), kKeyValueList));
       }},
  };
}

INSTANTIATE_TEST_SUITE_P(Lists, RefusedHiveTest, testing::ValuesIn(ListRows()),
                         [](const testing::TestParamInfo<DamageRow>& info) { return info.param.name; });

// Big data whose segment list names one cell where each segment should be.
void NameOneSegmentThroughout(HiveEdit& hive, CellOffset value, std::uint16_t segmentCount) {
  const CellOffset bigData = hive.Field(value, kValueData);
  const CellOffset firstSegment = hive.Field(hive.Field(bigData, 4), 0);
  std::vector<std::uint8_t> segments(4 * std::size_t{segmentCount});
  for (std::size_t i = 0; i < segmentCount; ++i) hive::WriteLittleEndian32(segments, 4 * i, firstSegment);
  hive.SetField(value, kValueDataSize, segmentCount * static_cast<std::uint32_t>(kSegmentSize));
  hive.SetField(bigData, 0, 'd' | 'b' << 8 | static_cast<std::uint32_t>(segmentCount) << 16);
  hive.SetField(bigData, 4, hive.AppendCell(segments));
}

// The "big" value's segment list, whose first two entries a test rewrites.
class BigDataSegmentsTest : public HiveStructureTest {
 protected:
  void ExpectUnreadable() {
    std::optional<Hive> hive = Open();
    ASSERT_TRUE(hive);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(hive->ReadValue(big_, &type, &data), EINVAL);
  }

  CellOffset big_ = 0;
  CellOffset list_ = 0;
  CellOffset firstSegment_ = 0;

  void SetUp() override {
    HiveStructureTest::SetUp();
    big_ = edit_->Value(edit_->Key("Values"), "big");
    list_ = edit_->Field(edit_->Field(big_, kValueData), 4);
    firstSegment_ = edit_->Field(list_, 0);
  }
};

TEST_F(BigDataSegmentsTest, OneCellTwiceIsRefused) {
  edit_->SetField(list_, 4, firstSegment_);
  ExpectUnreadable();
}

// A cell faked inside the first segment's data, 8 bytes in, as long as a
// whole segment's cell.
TEST_F(BigDataSegmentsTest, ACellInsideAnotherIsRefused) {
  edit_->SetField(firstSegment_, 4, Negated(kSegmentSize + 8));
  edit_->SetField(list_, 4, firstSegment_ + 8);
  ExpectUnreadable();
}

// Address space left to a child beyond what the test process already maps:
// far below the gigabyte a crafted value's data would claim.
constexpr rlim_t kAddressSpaceLeft = rlim_t{256} << 20;

// AddressSanitizer reserves terabytes of address space up front: there the
// cap is left out.
void CapAddressSpace() {
#if !defined(__SANITIZE_ADDRESS__)
  rlimit used{};
  getrlimit(RLIMIT_AS, &used);
  std::size_t mapped = 0;
  if (FILE* status = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(status, "%zu", &mapped) != 1) mapped = 0;
    std::fclose(status);
  }
  const rlimit cap{mapped * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + kAddressSpaceLeft, used.rlim_max};
  if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(125);
#endif
}

// 65,535 segments all naming one cell: a gigabyte of data claimed by a hive
// of a few hundred kilobytes. Its size is told from the value's node, and
// reading it fails before anything is reserved.
TEST(CraftedBigDataTest, CostsNoMoreThanTheHiveHolds) {
  TestImage image;
  constexpr char kComponent[] = "amd64_crafted-big-data_31bf3856ad364e35_10.0.19041.1_none_0000000000000001";
  image.AddComponent(kComponent, {image::BinaryValue("DV", BigData())});
  image.Write();
  HiveEdit edit(image.HivePath());
  const CellOffset value = edit.Value(edit.Key(std::string("DerivedData\\Components\\") + kComponent), "DV");
  NameOneSegmentThroughout(edit, value, 0xFFFF);
  edit.WriteTo(image.HivePath());

  OpenedImage opened(image.WindowsDirectory().string());
  offline::ProgressLine progress;
  posix::PosixStreamConsole console(stdout);
  offline::OfflineRegistry registry(opened.tree, console, progress);
  const std::u16string hivePath =
      u"\\\\?\\" + image::Utf16FromUtf8(image.WindowsDirectory().string()) + u"\\System32\\config\\COMPONENTS";
  const std::u16string keyPath = u"COMPONENTS\\DerivedData\\Components\\" + image::Utf16FromUtf8(kComponent);
  EXPECT_EXIT(
      {
        CapAddressSpace();
        KeyHandle key = KeyHandle::None;
        std::uint32_t size = 0;
        std::vector<std::uint8_t> buffer(64);
        std::uint32_t bufferSize = static_cast<std::uint32_t>(buffer.size());
        const bool read =
            registry.LoadKey(kLocalMachine, u"COMPONENTS", hivePath.c_str()) == Win32Status::Success &&
            registry.OpenKeyEx(kLocalMachine, keyPath.c_str(), 0, kKeyRead, &key) == Win32Status::Success &&
            registry.QueryValueEx(key, u"DV", nullptr, nullptr, &size) == Win32Status::Success &&
            size == 0xFFFF * kSegmentSize &&
            registry.QueryValueEx(key, u"DV", nullptr, buffer.data(), &bufferSize) == Win32Status::MoreData;
        Hive hive = *Hive::Open(ImageOf(edit.Sealed()), 2);
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        std::_Exit(read && hive.ReadValue(value, &type, &data) == EINVAL ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaly::offline_test
