// The generators run as the build runs them, and their images are read back
// the way the offline repair reads them: hives through hivex, files from disk.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "tests/tools/hive_reader.h"
#include "tests/tools/temp_dir.h"
#include "tools/image/utf8.h"
#include "tools/image_layout/component.h"

namespace tessaly::image {
namespace {

int RunQuietly(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::uint32_t Dword(const HiveValue& value) {
  return std::uint32_t{value.data[0]} | std::uint32_t{value.data[1]} << 8 | std::uint32_t{value.data[2]} << 16 |
         std::uint32_t{value.data[3]} << 24;
}

std::string Header(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string header(3, '\0');
  in.read(header.data(), 3);
  header.resize(static_cast<std::size_t>(in.gcount()));
  return header;
}

struct DiskEntry {
  std::filesystem::path path;
  bool isLink;
};

// Every file and link of a component directory, keyed by its record name.
std::map<std::string, DiskEntry> EntriesByRecordName(const std::filesystem::path& directory) {
  std::map<std::string, DiskEntry> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (entry.is_directory() && !entry.is_symlink()) continue;
    std::u16string relative = Utf16FromUtf8(entry.path().lexically_relative(directory).string());
    for (char16_t& c : relative) {
      if (c == u'/') c = u'\\';
    }
    entries[RecordName(relative)] = {entry.path(), entry.is_symlink()};
  }
  return entries;
}

struct StoreCensus {
  int components = 0;
  int walkedComponents = 0;
  int files = 0;
  int records = 0;
  int claims = 0;
  int falseClaimsInWalkedComponents = 0;  // what one repair run rewrites
  int hashedRecords = 0;
  int recordsInSubdirectories = 0;
  int recordsWithoutFile = 0;
};

// Reads the image the way the repair does: a component is walked when its CF
// is a REG_DWORD with 0x200 and it has no DV; a claim is false when the
// file's first three bytes are not the claimed signature (0x02 is examined
// first); links are never examined.
StoreCensus TakeCensus(const std::filesystem::path& image) {
  StoreCensus census;
  const std::optional<HiveKey> hive = ReadHive(image / "Windows/System32/config/COMPONENTS");
  EXPECT_TRUE(hive.has_value());
  if (!hive) return census;
  const HiveKey* components = FindKey(*hive, "DerivedData\\Components");
  EXPECT_NE(components, nullptr);
  if (!components) return census;

  for (const HiveKey& component : components->subkeys) {
    ++census.components;
    const std::filesystem::path directory = image / "Windows/WinSxS" / component.name;
    EXPECT_TRUE(std::filesystem::is_directory(directory)) << directory;
    const HiveValue* cf = FindValue(component, "CF");
    const bool walked =
        cf != nullptr && cf->type == kRegDword && (Dword(*cf) & 0x200) != 0 && FindValue(component, "DV") == nullptr;
    census.walkedComponents += walked ? 1 : 0;

    const std::map<std::string, DiskEntry> entries = EntriesByRecordName(directory);
    for (const auto& [name, entry] : entries) census.files += entry.isLink ? 0 : 1;
    for (const HiveValue& value : component.values) {
      if (value.name.rfind("f!", 0) != 0 || value.type != kRegDword) continue;
      ++census.records;
      census.hashedRecords += value.name.size() > 17 && value.name[value.name.size() - 17] == '_' ? 1 : 0;
      const auto entry = entries.find(value.name);
      if (entry == entries.end()) {
        ++census.recordsWithoutFile;
        continue;
      }
      census.recordsInSubdirectories += entry->second.path.parent_path() != directory ? 1 : 0;
      const std::uint32_t record = Dword(value);
      if ((record & 0x22) == 0) continue;
      ++census.claims;
      if (!walked || entry->second.isLink) continue;
      const std::string header = Header(entry->second.path);
      const std::string signature = (record & 0x02) ? "DCD" : "DCS";
      census.falseClaimsInWalkedComponents += header.size() == 3 && header != signature ? 1 : 0;
    }
  }
  return census;
}

TEST(MakeSampleImageTest, WritesTheDocumentedStore) {
  TempDir dir;
  ASSERT_EQ(RunQuietly(std::string(TESSALY_MAKE_SAMPLE_IMAGE) + " " + dir.Path().string()), 0);

  const StoreCensus census = TakeCensus(dir.Path());
  EXPECT_EQ(census.components, 6);
  EXPECT_EQ(census.walkedComponents, 3);
  EXPECT_EQ(census.recordsWithoutFile, 0);
  EXPECT_EQ(census.falseClaimsInWalkedComponents, 8);
  EXPECT_GT(census.hashedRecords, 0);
  EXPECT_GT(census.recordsInSubdirectories, 0);
}

TEST(MakeSampleImageTest, SoftwareHiveNamesALoadableServicingStack) {
  TempDir dir;
  ASSERT_EQ(RunQuietly(std::string(TESSALY_MAKE_SAMPLE_IMAGE) + " " + dir.Path().string()), 0);
  const std::optional<HiveKey> software = ReadHive(dir.Path() / "Windows/System32/config/SOFTWARE");
  ASSERT_TRUE(software.has_value());

  const HiveKey* currentVersion = FindKey(*software, "Microsoft\\Windows NT\\CurrentVersion");
  ASSERT_NE(currentVersion, nullptr);
  ASSERT_NE(FindValue(*currentVersion, "CurrentMajorVersionNumber"), nullptr);
  ASSERT_NE(FindValue(*currentVersion, "CurrentMinorVersionNumber"), nullptr);
  EXPECT_EQ(Dword(*FindValue(*currentVersion, "CurrentMajorVersionNumber")), 10u);
  EXPECT_EQ(Dword(*FindValue(*currentVersion, "CurrentMinorVersionNumber")), 0u);

  const HiveKey* version =
      FindKey(*software, "Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Version");
  ASSERT_NE(version, nullptr);
  ASSERT_EQ(version->values.size(), 1u);
  const HiveValue& stack = version->values[0];
  EXPECT_FALSE(stack.name.empty());
  EXPECT_EQ(stack.type, kRegExpandSz);
  ASSERT_GE(stack.data.size(), 2u);
  std::u16string path;
  for (std::size_t i = 0; i + 1 < stack.data.size(); i += 2) {
    path.push_back(static_cast<char16_t>(stack.data[i] | stack.data[i + 1] << 8));
  }
  ASSERT_EQ(path.back(), u'\0');
  path.pop_back();
  const std::u16string prefix = u"%SystemRoot%\\WinSxS\\";
  ASSERT_EQ(path.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() / "Windows/WinSxS" /
                                               Utf8FromUtf16(path.substr(prefix.size())) / "wcp.dll"));
}

TEST(MakeBenchmarkImageTest, SmallStoreHasTheAdvertisedMix) {
  TempDir dir;
  ASSERT_EQ(RunQuietly(std::string(TESSALY_MAKE_BENCHMARK_IMAGE) + " " + dir.Path().string() +
                " --components 40 --files 250"),
            0);

  const StoreCensus census = TakeCensus(dir.Path());
  EXPECT_EQ(census.components, 40);
  EXPECT_EQ(census.walkedComponents, 40);
  EXPECT_EQ(census.files, 250);
  EXPECT_EQ(census.records, 250);
  EXPECT_EQ(census.recordsWithoutFile, 0);
  EXPECT_EQ(census.claims, 25);
  EXPECT_EQ(census.falseClaimsInWalkedComponents, 2);
  EXPECT_GT(census.recordsInSubdirectories, 30);
  EXPECT_GT(census.hashedRecords, census.recordsInSubdirectories);

  // One component in a thousand, the first among them, holds a value long
  // enough to be kept as big data.
  const std::optional<HiveKey> hive = ReadHive(dir.Path() / "Windows/System32/config/COMPONENTS");
  ASSERT_TRUE(hive.has_value());
  int bigValues = 0;
  for (const HiveKey& component : FindKey(*hive, "DerivedData\\Components")->subkeys) {
    const HiveValue* identity = FindValue(component, "identity");
    ASSERT_NE(identity, nullptr) << component.name;
    EXPECT_EQ(identity->data.size(), 2048u);
    if (const HiveValue* manifest = FindValue(component, "manifest"); manifest != nullptr) {
      ++bigValues;
      EXPECT_TRUE(manifest->data.size() >= 20 * 1024 && manifest->data.size() < 40 * 1024) << manifest->data.size();
    }
  }
  EXPECT_EQ(bigValues, 1);
}

TEST(MakeBenchmarkImageTest, RejectsBadArguments) {
  TempDir dir;
  const std::string program = TESSALY_MAKE_BENCHMARK_IMAGE;
  for (const std::string arguments : {"", " OUT --components 0", " OUT --files", " OUT --files 12x",
                                      " OUT --bogus 3", " OUT --components -1"}) {
    EXPECT_EQ(RunQuietly("cd " + dir.Path().string() + " && " + program + arguments), 2) << arguments;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "OUT"));
}

}  // namespace
}  // namespace tessaly::image
