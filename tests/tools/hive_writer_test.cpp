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
                     BinaryValue("beyond one bin", Pattern(20000)), BinaryValue("large", Pattern(300000))},
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
  EXPECT_EQ(U32(bytes, 0x18), 3u);
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

// The offline repair edits written hives through hivex: rewriting a record
// in place and committing must leave a hive that still reads back.
TEST(HiveWriterEditTest, HivexCanRewriteAValueAndCommit) {
  TempDir dir;
  const std::filesystem::path file = dir.Path() / "COMPONENTS";
  HiveKey component{"amd64_component", {DwordValue("CF", 0x200), DwordValue("f!kernel32.dll", 0x0122)}, {}};
  ASSERT_TRUE(WriteHive(file, {"ROOT", {}, {{"DerivedData", {}, {{"Components", {}, {component}}}}}}));

  {
    hive_h* hive = hivex_open(file.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(hive, nullptr);
    hive_node_h node = hivex_root(hive);
    for (const char* name : {"DerivedData", "Components", "amd64_component"}) node = hivex_node_get_child(hive, node, name);
    ASSERT_NE(node, 0u);
    char data[] = {0x20, 0x01, 0x00, 0x00};
    char name[] = "f!kernel32.dll";
    const hive_set_value value{name, hive_t_REG_DWORD, sizeof data, data};
    EXPECT_EQ(hivex_node_set_value(hive, node, &value, 0), 0);
    EXPECT_EQ(hivex_commit(hive, nullptr, 0), 0);
    hivex_close(hive);
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
  HiveKey tooManySubkeys{"ROOT", {}, {}};
  for (int i = 0; i < 65536; ++i) tooManySubkeys.subkeys.push_back({"k" + std::to_string(i), {}, {}});
  return {
      {"EmptySubkeyName", {"ROOT", {}, {{"", {}, {}}}}},
      {"BackslashInSubkeyName", {"ROOT", {}, {{"a\\b", {}, {}}}}},
      {"SubkeyNameOver255", {"ROOT", {}, {{std::string(256, 'k'), {}, {}}}}},
      {"SiblingsDifferingInCase", {"ROOT", {}, {{"Components", {}, {}}, {"COMPONENTS", {}, {}}}}},
      {"Latin1SiblingsDifferingInCase", {"ROOT", {}, {{"café", {}, {}}, {"CAFÉ", {}, {}}}}},
      {"ValuesDifferingInCase", {"ROOT", {DwordValue("CF", 1), DwordValue("cf", 2)}, {}}},
      {"NestedDuplicate", {"ROOT", {}, {{"a", {}, {{"x", {}, {}}, {"X", {}, {}}}}}}},
      {"MalformedUtf8Name", {"ROOT", {DwordValue("\xC3(", 1)}, {}}},
      {"TooManySubkeys", std::move(tooManySubkeys)},
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
