#include "tools/image/hive_writer.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "tests/tools/hive_reader.h"
#include "tests/tools/temp_dir.h"
#include "tools/image/hivex_owner.h"
#include "tools/image/utf8.h"

namespace tessaly::image {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t U32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
         std::uint32_t{bytes[at + 3]} << 24;
}

struct TreeCase {
  const char* label;
  HiveKey root;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) { *out << treeCase.label; }

std::vector<TreeCase> Trees() {
  std::vector<TreeCase> cases;
  cases.push_back({"EmptyRoot", {"ROOT", {}, {}}});
  cases.push_back({"NestedKeys",
                   {"ROOT",
                    {},
                    {{"Microsoft",
                      {},
                      {{"Windows NT", {}, {{"CurrentVersion", {DwordValue("CurrentMajorVersionNumber", 10)}, {}}}},
                       {"Windows", {}, {{"CurrentVersion", {}, {{"Component Based Servicing", {}, {}}}}}}}},
                     {"Policies", {DwordValue("Leaf", 1)}, {}}}}});
  cases.push_back({"DataUpToFourBytesInline",
                   {"ROOT",
                    {DwordValue("", 0xDEADBEEF), DwordValue("zero", 0), BinaryValue("empty", {}),
                     BinaryValue("one", {0xA1}), BinaryValue("three", {1, 2, 3}), BinaryValue("four", {4, 3, 2, 1}),
                     ExpandStringValue("text", u"%SystemRoot%\\WinSxS")},
                    {}}});
  cases.push_back({"LongData",
                   {"ROOT",
                    {BinaryValue("five", Pattern(5)), BinaryValue("page", Pattern(4096)),
                     BinaryValue("one segment", Pattern(16344)), BinaryValue("beyond one bin", Pattern(20000)),
                     BinaryValue("large", Pattern(300000))},
                    {{"after", {DwordValue("small", 7)}, {}}}}});
  HiveKey manyValues{"ROOT", {}, {}};
  for (int i = 0; i < 2000; ++i) manyValues.values.push_back(DwordValue("f!file" + std::to_string(i) + ".dll", i));
  cases.push_back({"ManyValues", std::move(manyValues)});
  HiveKey manySubkeys{"ROOT", {}, {}};
  for (int i = 0; i < 3000; ++i) {
    manySubkeys.subkeys.push_back({(i % 2 ? "Component" : "component") + std::to_string(i), {DwordValue("CF", i)}, {}});
  }
  std::shuffle(manySubkeys.subkeys.begin(), manySubkeys.subkeys.end(), std::mt19937(7));
  cases.push_back({"ManySubkeys", std::move(manySubkeys)});
  cases.push_back({"Latin1Names",
                   {"Wurzel", {DwordValue("Größe", 1), DwordValue("naïve façade", 2)}, {{"Café", {}, {}}, {"Ä", {}, {}}}}});
  cases.push_back(
      {"Utf16Names", {"根", {DwordValue("中文", 1), DwordValue("emoji 🙂", 2)}, {{"日本語", {DwordValue("Ω", 3)}, {}}}}});
  return cases;
}

class HiveWriterTest : public testing::TestWithParam<TreeCase> {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_.Path() / "hive";
};

TEST_P(HiveWriterTest, ReadsBackThroughHivex) {
  ASSERT_TRUE(WriteHive(file_, GetParam().root));
  const std::optional<HiveKey> read = ReadHive(file_);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(Dump(*read), Dump(GetParam().root));
}

// The layout Windows itself checks when it loads a hive: a clean base block
// with a valid checksum, bins of whole pages that follow each other, and
// cells that tile every bin exactly.
TEST_P(HiveWriterTest, BinsAndCellsTileTheFile) {
  ASSERT_TRUE(WriteHive(file_, GetParam().root));
  const std::vector<std::uint8_t> bytes = ReadFile(file_);
  ASSERT_GE(bytes.size(), 8192u);

  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "regf");
  EXPECT_EQ(U32(bytes, 0x04), U32(bytes, 0x08)) << "sequence numbers differ: the hive looks dirty";
  EXPECT_EQ(U32(bytes, 0x14), 1u);
  EXPECT_EQ(U32(bytes, 0x18), 5u) << "not the version Windows 10 writes";
  std::uint32_t checksum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) checksum ^= U32(bytes, at);
  EXPECT_EQ(U32(bytes, 0x1FC), checksum);
  const std::uint32_t binsSize = U32(bytes, 0x28);
  EXPECT_EQ(bytes.size(), 4096u + binsSize);

  std::size_t binOffset = 0;
  while (binOffset < binsSize) {
    const std::size_t bin = 4096 + binOffset;
    ASSERT_EQ(std::string(bytes.begin() + bin, bytes.begin() + bin + 4), "hbin") << "at bin offset " << binOffset;
    EXPECT_EQ(U32(bytes, bin + 4), binOffset);
    const std::uint32_t binSize = U32(bytes, bin + 8);
    ASSERT_TRUE(binSize > 0 && binSize % 4096 == 0) << "bin size " << binSize;
    std::size_t cell = bin + 32;
    while (cell < bin + binSize) {
      const auto size = static_cast<std::int32_t>(U32(bytes, cell));
      const std::uint32_t magnitude = size < 0 ? -size : size;
      ASSERT_TRUE(magnitude >= 8 && magnitude % 8 == 0) << "cell size " << size << " at " << cell - 4096;
      cell += magnitude;
    }
    EXPECT_EQ(cell, bin + binSize) << "a cell crosses the end of the bin at offset " << binOffset;
    binOffset += binSize;
  }
  EXPECT_EQ(binOffset, binsSize);

  const std::size_t rootCell = 4096 + U32(bytes, 0x24);
  EXPECT_LT(static_cast<std::int32_t>(U32(bytes, rootCell)), 0) << "root cell not in use";
  EXPECT_EQ(std::string(bytes.begin() + rootCell + 4, bytes.begin() + rootCell + 6), "nk");
}

INSTANTIATE_TEST_SUITE_P(Trees, HiveWriterTest, testing::ValuesIn(Trees()),
                         [](const testing::TestParamInfo<TreeCase>& info) { return info.param.label; });

// Windows finds subkeys by binary search over the upper-cased names, so the
// list must be in that order whatever order the tree gives.
TEST(HiveWriterOrderTest, SubkeysAreSortedByUpperCasedName) {
  TempDir dir;
  const HiveKey root{"ROOT", {}, {{"b", {}, {}}, {"éclair", {}, {}}, {"_x", {}, {}}, {"C", {}, {}}, {"a1", {}, {}},
                                  {"Zeta", {}, {}}, {"A", {}, {}}}};
  ASSERT_TRUE(WriteHive(dir.Path() / "hive", root));
  const std::optional<HiveKey> read = ReadHive(dir.Path() / "hive");
  ASSERT_TRUE(read.has_value());
  std::vector<std::string> order;
  for (const HiveKey& subkey : read->subkeys) order.push_back(subkey.name);
  EXPECT_EQ(order, (std::vector<std::string>{"A", "a1", "b", "C", "Zeta", "_x", "éclair"}));
}

// The cells of a written hive, addressed by cell offset as Windows addresses
// them, for checking the layout hivex would read past without complaint.
class RawHive {
 public:
  explicit RawHive(const std::filesystem::path& file) : bytes_(ReadFile(file)) {}

  std::uint32_t RootCell() const { return U32(bytes_, 0x24); }
  // Bytes a used cell spans, its 4-byte size field included.
  std::uint32_t CellSize(std::uint32_t cell) const {
    return static_cast<std::uint32_t>(-static_cast<std::int32_t>(U32(bytes_, kBins + cell)));
  }
  std::string Tag(std::uint32_t cell) const { return std::string(Data(cell), Data(cell) + 2); }
  std::uint16_t Field16(std::uint32_t cell, std::size_t at) const {
    return static_cast<std::uint16_t>(Data(cell)[at] | Data(cell)[at + 1] << 8);
  }
  std::uint32_t Field32(std::uint32_t cell, std::size_t at) const { return U32(bytes_, kBins + cell + 4 + at); }
  std::vector<std::uint8_t> Bytes(std::uint32_t cell, std::size_t at, std::size_t size) const {
    return {Data(cell) + at, Data(cell) + at + size};
  }

  // The name of an nk or vk cell: one byte per character when the key's
  // 0x20 or the value's 0x01 flag says so, UTF-16LE otherwise.
  std::u16string Name(std::uint32_t cell) const {
    const bool key = Tag(cell) == "nk";
    const std::size_t length = Field16(cell, key ? 72 : 2);
    const std::size_t at = key ? 76 : 20;
    const bool oneByte = (Field16(cell, key ? 2 : 16) & (key ? 0x20 : 0x01)) != 0;
    std::u16string name;
    if (oneByte) {
      for (std::size_t i = 0; i < length; ++i) name.push_back(Data(cell)[at + i]);
    } else {
      for (std::size_t i = 0; i < length; i += 2) name.push_back(static_cast<char16_t>(Field16(cell, at + i)));
    }
    return name;
  }

  // The vk cell of the key's value with this name.
  std::uint32_t ValueCell(std::uint32_t keyCell, std::u16string_view name) const {
    const std::uint32_t list = Field32(keyCell, 40);
    for (std::uint32_t i = 0; i < Field32(keyCell, 36); ++i) {
      if (Name(Field32(list, 4 * i)) == name) return Field32(list, 4 * i);
    }
    return 0xFFFFFFFF;
  }

 private:
  static constexpr std::size_t kBins = 4096;
  const std::uint8_t* Data(std::uint32_t cell) const { return bytes_.data() + kBins + cell + 4; }
  std::vector<std::uint8_t> bytes_;
};

// The hash Windows keeps beside each subkey in an "lh" leaf, from the name
// already upper-cased.
std::uint32_t LeafHash(std::u16string_view upperName) {
  std::uint32_t hash = 0;
  for (const char16_t c : upperName) hash = hash * 37 + c;
  return hash;
}

std::u16string AsciiUpper(std::u16string name) {
  for (char16_t& c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return name;
}

struct LeafEntry {
  std::uint32_t keyCell;
  std::uint32_t hash;
};

// The entries of a key's subkey list in list order, checking on the way that
// it is an "lh" leaf, or an "ri" root over "lh" leaves, with leaves no longer
// than Windows keeps them.
std::vector<LeafEntry> SubkeyEntries(const RawHive& hive, std::uint32_t keyCell) {
  std::vector<LeafEntry> entries;
  const std::uint32_t list = hive.Field32(keyCell, 28);
  std::vector<std::uint32_t> leaves{list};
  if (hive.Tag(list) == "ri") {
    leaves.clear();
    for (std::uint16_t i = 0; i < hive.Field16(list, 2); ++i) leaves.push_back(hive.Field32(list, 4 + 4 * i));
    EXPECT_GE(leaves.size(), 2u) << "an ri root over a single leaf";
  }
  for (const std::uint32_t leaf : leaves) {
    EXPECT_EQ(hive.Tag(leaf), "lh");
    const std::uint16_t count = hive.Field16(leaf, 2);
    EXPECT_TRUE(count > 0 && count <= 500) << "leaf of " << count << " entries";
    EXPECT_GE(hive.CellSize(leaf), 4u + 4u + 8u * count);
    for (std::uint16_t i = 0; i < count; ++i) {
      entries.push_back({hive.Field32(leaf, 4 + 8 * i), hive.Field32(leaf, 8 + 8 * i)});
    }
  }
  return entries;
}

// Windows looks subkeys up by binary search over the leaves: one "lh" leaf
// while the key's subkeys fit, an "ri" root over leaves beyond that, every
// subkey listed once, in upper-cased name order, with the hash of its name.
class SubkeyListLayoutTest : public testing::TestWithParam<int> {};

TEST_P(SubkeyListLayoutTest, LeavesListEverySubkeyInOrderWithItsHash) {
  const int count = GetParam();
  HiveKey root{"ROOT", {}, {}};
  for (int i = 0; i < count; ++i) root.subkeys.push_back({(i % 3 ? "Sub" : "sub") + std::to_string(i), {}, {}});
  std::shuffle(root.subkeys.begin(), root.subkeys.end(), std::mt19937(count));
  TempDir dir;
  ASSERT_TRUE(WriteHive(dir.Path() / "hive", root));
  const RawHive hive(dir.Path() / "hive");

  const std::uint32_t rootCell = hive.RootCell();
  EXPECT_EQ(hive.Field32(rootCell, 20), static_cast<std::uint32_t>(count));
  EXPECT_EQ(hive.Tag(hive.Field32(rootCell, 28)), count <= 500 ? "lh" : "ri");
  const std::vector<LeafEntry> entries = SubkeyEntries(hive, rootCell);
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(count));
  std::u16string previous;
  for (const LeafEntry& entry : entries) {
    ASSERT_EQ(hive.Tag(entry.keyCell), "nk");
    EXPECT_EQ(hive.Field32(entry.keyCell, 16), rootCell) << "parent";
    const std::u16string upper = AsciiUpper(hive.Name(entry.keyCell));
    EXPECT_EQ(entry.hash, LeafHash(upper));
    EXPECT_LT(previous, upper);
    previous = upper;
  }
}

INSTANTIATE_TEST_SUITE_P(SubkeyCounts, SubkeyListLayoutTest, testing::Values(1, 500, 501, 1000, 1001, 3000));

// Names beyond ASCII hash and sort by their upper-cased UTF-16 units.
TEST(SubkeyListLayoutTest, HashesAndOrdersNamesBeyondAscii) {
  struct Name {
    const char* name;
    std::u16string upper;
  };
  const std::vector<Name> names = {{"日本", u"日本"}, {"ωmega", u"ΩMEGA"}, {"éclair", u"ÉCLAIR"}, {"straße", u"STRAßE"},
                                   {"Zeta", u"ZETA"}, {"alpha", u"ALPHA"}, {"ÿ", u"\u0178"}};
  HiveKey root{"ROOT", {}, {}};
  for (const Name& name : names) root.subkeys.push_back({name.name, {}, {}});
  TempDir dir;
  ASSERT_TRUE(WriteHive(dir.Path() / "hive", root));
  const RawHive hive(dir.Path() / "hive");

  std::vector<std::u16string> expectedOrder;
  for (const Name& name : names) expectedOrder.push_back(name.upper);
  std::sort(expectedOrder.begin(), expectedOrder.end());
  std::vector<std::u16string> order;
  for (const LeafEntry& entry : SubkeyEntries(hive, hive.RootCell())) {
    const std::u16string stored = hive.Name(entry.keyCell);
    const auto name =
        std::find_if(names.begin(), names.end(), [&](const Name& n) { return Utf16FromUtf8(n.name) == stored; });
    ASSERT_NE(name, names.end());
    EXPECT_EQ(entry.hash, LeafHash(name->upper)) << name->name;
    order.push_back(name->upper);
  }
  EXPECT_EQ(order, expectedOrder);
}

// A value longer than 16,344 bytes is kept as Windows keeps big data: a "db"
// cell with the segment count and the offset of the segment list; every
// segment but the last holds 16,344 bytes, in a 16,352-byte cell (4 bytes of
// it spare), the last the rest with the same 4 spare bytes, which hivex
// counts on. Up to 16,344 bytes the data sits in one plain cell.
class BigDataTest : public testing::TestWithParam<std::size_t> {};

TEST_P(BigDataTest, SegmentsAsWindowsLaysThemOutAndReadsBackExactly) {
  constexpr std::size_t kSegment = 16344;
  const std::size_t size = GetParam();
  const std::vector<std::uint8_t> data = Pattern(size);
  TempDir dir;
  const std::filesystem::path file = dir.Path() / "hive";
  ASSERT_TRUE(WriteHive(file, {"ROOT", {BinaryValue("big", data), DwordValue("after", 7)}, {{"k", {}, {}}}}));

  const std::optional<HiveKey> read = ReadHive(file);
  ASSERT_TRUE(read.has_value());
  ASSERT_NE(FindValue(*read, "big"), nullptr);
  EXPECT_TRUE(FindValue(*read, "big")->data == data)
      << "hivex reads other bytes back " << FindValue(*read, "big")->data.size() << " "
      << (std::mismatch(data.begin(), data.end(), FindValue(*read, "big")->data.begin(),
                        FindValue(*read, "big")->data.end())
              .first -
          data.begin());
  ASSERT_NE(FindValue(*read, "after"), nullptr);

  const RawHive hive(file);
  const std::uint32_t value = hive.ValueCell(hive.RootCell(), u"big");
  ASSERT_EQ(hive.Tag(value), "vk");
  EXPECT_EQ(hive.Field32(value, 4), size) << "data size";
  const std::uint32_t dataCell = hive.Field32(value, 8);
  if (size <= kSegment) {
    EXPECT_GE(hive.CellSize(dataCell), 4 + size);
    EXPECT_TRUE(hive.Bytes(dataCell, 0, size) == data);
    return;
  }
  ASSERT_EQ(hive.Tag(dataCell), "db");
  const std::size_t segments = (size + kSegment - 1) / kSegment;
  ASSERT_EQ(hive.Field16(dataCell, 2), segments);
  const std::uint32_t list = hive.Field32(dataCell, 4);
  ASSERT_GE(hive.CellSize(list), 4 + 4 * segments);
  std::vector<std::uint8_t> joined;
  for (std::size_t i = 0; i < segments; ++i) {
    const std::uint32_t segment = hive.Field32(list, 4 * i);
    const std::size_t held = i + 1 < segments ? kSegment : size - kSegment * (segments - 1);
    EXPECT_EQ(hive.CellSize(segment), (held + 8 + 7) / 8 * 8) << "segment " << i;
    const std::vector<std::uint8_t> bytes = hive.Bytes(segment, 0, held);
    joined.insert(joined.end(), bytes.begin(), bytes.end());
  }
  EXPECT_TRUE(joined == data) << "the segments do not hold the data in order";
}

INSTANTIATE_TEST_SUITE_P(Sizes, BigDataTest, testing::Values(16344, 16345, 32688, 32689, 40000, 1000003));

// The offline repair edits written hives through hivex: rewriting a record
// in place and committing must leave a hive that still reads back.
TEST(HiveWriterEditTest, HivexCanRewriteAValueAndCommit) {
  TempDir dir;
  const std::filesystem::path file = dir.Path() / "COMPONENTS";
  HiveKey component{"amd64_component", {DwordValue("CF", 0x200), DwordValue("f!kernel32.dll", 0x0122)}, {}};
  ASSERT_TRUE(WriteHive(file, {"ROOT", {}, {{"DerivedData", {}, {{"Components", {}, {component}}}}}}));

  {
    const UniqueHive hive(hivex_open(file.c_str(), HIVEX_OPEN_WRITE));
    ASSERT_NE(hive, nullptr);
    hive_node_h node = hivex_root(hive.get());
    for (const char* name : {"DerivedData", "Components", "amd64_component"}) {
      node = hivex_node_get_child(hive.get(), node, name);
    }
    ASSERT_NE(node, 0u);
    char data[] = {0x20, 0x01, 0x00, 0x00};
    char name[] = "f!kernel32.dll";
    const hive_set_value value{name, hive_t_REG_DWORD, sizeof data, data};
    EXPECT_EQ(hivex_node_set_value(hive.get(), node, &value, 0), 0);
    EXPECT_EQ(hivex_commit(hive.get(), nullptr, 0), 0);
  }

  const std::optional<HiveKey> read = ReadHive(file);
  ASSERT_TRUE(read.has_value());
  const HiveKey* key = FindKey(*read, "DerivedData\\Components\\amd64_component");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(FindValue(*key, "f!kernel32.dll"), nullptr);
  EXPECT_EQ(FindValue(*key, "f!kernel32.dll")->data, DwordValue("", 0x0120).data);
  ASSERT_NE(FindValue(*key, "CF"), nullptr);
  EXPECT_EQ(FindValue(*key, "CF")->data, DwordValue("", 0x200).data);
}

struct InvalidCase {
  const char* label;
  HiveKey root;
};

void PrintTo(const InvalidCase& invalidCase, std::ostream* out) { *out << invalidCase.label; }

class HiveWriterRejectsTest : public testing::TestWithParam<InvalidCase> {};

TEST_P(HiveWriterRejectsTest, ThrowsBeforeWritingAnything) {
  TempDir dir;
  EXPECT_THROW(WriteHive(dir.Path() / "hive", GetParam().root), std::invalid_argument);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "hive"));
}

std::vector<InvalidCase> InvalidTrees() {
  return {
      {"EmptySubkeyName", {"ROOT", {}, {{"", {}, {}}}}},
      {"BackslashInSubkeyName", {"ROOT", {}, {{"a\\b", {}, {}}}}},
      {"SubkeyNameOver255", {"ROOT", {}, {{std::string(256, 'k'), {}, {}}}}},
      {"SiblingsDifferingInCase", {"ROOT", {}, {{"Components", {}, {}}, {"COMPONENTS", {}, {}}}}},
      {"Latin1SiblingsDifferingInCase", {"ROOT", {}, {{"café", {}, {}}, {"CAFÉ", {}, {}}}}},
      {"ValuesDifferingInCase", {"ROOT", {DwordValue("CF", 1), DwordValue("cf", 2)}, {}}},
      {"NestedDuplicate", {"ROOT", {}, {{"a", {}, {{"x", {}, {}}, {"X", {}, {}}}}}}},
      {"MalformedUtf8Name", {"ROOT", {DwordValue("\xC3(", 1)}, {}}},
  };
}

INSTANTIATE_TEST_SUITE_P(InvalidTrees, HiveWriterRejectsTest, testing::ValuesIn(InvalidTrees()),
                         [](const testing::TestParamInfo<InvalidCase>& info) { return info.param.label; });

TEST(HiveWriterIoTest, UnwritablePathReturnsFalse) {
  TempDir dir;
  EXPECT_FALSE(WriteHive(dir.Path() / "missing" / "hive", {"ROOT", {}, {}}));
}

}  // namespace
}  // namespace tessaly::image
