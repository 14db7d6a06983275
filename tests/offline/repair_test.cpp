// Completed runs on real images: which records are rewritten, what the
// saved hive holds afterwards, and what the run prints.

#include <gtest/gtest.h>

#include "hive_contents.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using image::BinaryValue;
using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-repair-test_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;

std::vector<std::uint8_t> Dword(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

StoredValue StoredDword(std::uint32_t value) { return StoredValue{4, Dword(value)}; }

// One file of the component, its record before the run and after it.
struct FileCase {
  std::string path;  // below the component directory, "\" between directories
  std::string contents;
  std::uint32_t record;
  std::uint32_t expected;
  // The record's name as stored, when it differs in case from the name the
  // tool derives: registry names match whatever their case, and keep their
  // own spelling when rewritten.
  std::string storedName = "";
};

std::string StoredName(const FileCase& file) {
  return file.storedName.empty() ? RecordName(image::Utf16FromUtf8(file.path)) : file.storedName;
}

// Listed in the order NTFS lists them, which is the order of the messages.
const std::vector<FileCase> kFileCases = {
    {"a-both-claims-on-dcd.dll", "DCD...", 0x22, 0x22},
    {"B-both-claims-on-dcs.dll", "DCS...", 0x22, 0x20},
    {"c-dcd-claim-bad.dll", "MZ\x90\x00", 0x02, 0x00},
    {"d-dcd-claim-good.dll", "DCD", 0x02, 0x02},
    {"e-dcd-claim-lower-case.dll", "dcd", 0x02, 0x00},
    {"f-dcs-claim-good.dll", "DCS\x01", 0x20, 0x20},
    {"g-dcs-claim-on-dcd.dll", "DCD\x01", 0x20, 0x00},
    {"h-empty.dll", "", 0x02, 0x02},
    {"i-no-claim.dll", "XYZ", 0x0101, 0x0101},
    {"j-other-bits.dll", "PA30", 0x0122, 0x0120},
    {"k-two-bytes.dll", "DC", 0x22, 0x22},
    {"o-stored-upper-case.dll", "XYZ", 0x02, 0x00, "F!O-STORED-UPPER-CASE.DLL"},
    {"sub\\deep\\l-nested.dll", "XYZ", 0x8002, 0x8000},
    {"x_underscore.dll", "ABC", 0x20, 0x00},
    {"ü-stored-upper-case.dll", "XYZ", 0x02, 0x00, "f!Ü-STORED-UPPER-CASE.DLL"},
};

class RepairTest : public testing::Test {
 protected:
  void SetUp() override {
    std::vector<image::HiveValue> values = {DwordValue("CF", 0x200),
                                            image::ExpandStringValue("S256H", u"not a record, left alone"),
                                            BinaryValue("f!m-binary-record.dll", Dword(0x02)),
                                            BinaryValue("OtherData", std::vector<std::uint8_t>(600, 0xAB))};
    for (const FileCase& file : kFileCases) {
      values.push_back(DwordValue(StoredName(file), file.record));
      std::string onDisk = file.path;
      std::replace(onDisk.begin(), onDisk.end(), '\\', '/');
      image_.AddFile(fs::path(kComponent) / onDisk, file.contents);
    }
    image_.AddFile(fs::path(kComponent) / "m-binary-record.dll", "XYZ");
    image_.AddFile(fs::path(kComponent) / "n-no-record.dll", "XYZ");
    image_.AddComponent(kComponent, values);
  }

  TestImage image_;
};

TEST_F(RepairTest, ClearsOnlyTheClaimsTheFilesDoNotBearOut) {
  image_.Write();
  const auto valuesBefore = ReadKeyValues(image_.HivePath(), kComponentKey);
  ASSERT_TRUE(valuesBefore);
  const std::string hiveBefore = ReadFileBytes(image_.HivePath());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  std::string expectedOutput = Banner();
  auto expectedValues = *valuesBefore;
  for (const FileCase& file : kFileCases) {
    expectedValues[StoredName(file)] = StoredDword(file.expected);
    if (file.expected != file.record) expectedOutput += RepairedLine(image_, std::string(kComponent) + "\\" + file.path);
  }
  expectedOutput += RepairedSummary();
  EXPECT_EQ(run.output, expectedOutput);
  EXPECT_EQ(run.exitStatus, 0);
  // Every other value, of every type, is as it was.
  EXPECT_EQ(ReadKeyValues(image_.HivePath(), kComponentKey), expectedValues);
  EXPECT_EQ(ReadFileBytes(image_.ConfigDirectory() / "COMPONENTS.tessaly-backup"), hiveBefore);
}

// Only components whose CF has bit 0x200 and which have no DV are walked.
TEST_F(RepairTest, WalksOnlyTheSelectedComponents) {
  struct ComponentCase {
    std::string name;
    std::vector<image::HiveValue> selection;
    bool walked;
  };
  const std::vector<ComponentCase> cases = {
      {"cf-0x201", {DwordValue("CF", 0x201)}, true},
      {"cf-as-binary", {BinaryValue("CF", Dword(0x200))}, false},
      {"cf-lacks-0x200", {DwordValue("CF", 0x1FF)}, false},
      {"cf-missing", {}, false},
      {"cf-with-dv", {DwordValue("CF", 0x200), BinaryValue("DV", {})}, false},
  };
  image_.ComponentList().subkeys.clear();
  for (const ComponentCase& component : cases) {
    std::vector<image::HiveValue> values = component.selection;
    values.push_back(DwordValue("f!a.dll", 0x02));
    image_.AddComponent(component.name, values);
    image_.AddFile(fs::path(component.name) / "a.dll", "XYZ");
  }
  image_.Write();

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + RepairedLine(image_, "cf-0x201\\a.dll") + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
  for (const ComponentCase& component : cases) {
    EXPECT_EQ(ReadDword(image_.HivePath(), "DerivedData\\Components\\" + component.name, "f!a.dll"),
              component.walked ? 0x00u : 0x02u)
        << component.name;
  }
}

// The servicing stack directory is the first REG_EXPAND_SZ value with a
// name; values before it of another type, or without a name, are passed by.
TEST_F(RepairTest, BindsTheFirstNamedExpandableValue) {
  image::HiveValue plain = image::ExpandStringValue("10.0.1", u"%SystemRoot%\\nowhere");
  plain.type = 1;  // REG_SZ
  const std::u16string stack(kServicingStackDirectory, kServicingStackDirectory + sizeof(kServicingStackDirectory) - 1);
  image_.ServicingVersion().values = {plain, image::ExpandStringValue("", u"%SystemRoot%\\nowhere"),
                                      image::ExpandStringValue("10.0.2", u"%WINDIR%\\winsxs\\" + stack),
                                      image::ExpandStringValue("10.0.3", u"%SystemRoot%\\nowhere")};
  image_.ComponentList().subkeys.clear();
  image_.AddComponent("component", {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
  image_.AddFile(fs::path("component") / "a.dll", "XYZ");
  image_.Write();

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + RepairedLine(image_, "component\\a.dll") + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
}

// Windows leaves ſ (U+017F) as it is when it upper-cases a name, where the
// C library makes it S: the record of ſhell32.dll, listed first, is not
// the record of shell32.dll.
TEST_F(RepairTest, RewritesTheRecordWindowsMatchesNotALookAlike) {
  image_.ComponentList().subkeys.clear();
  image_.AddComponent("component", {DwordValue("CF", 0x200), DwordValue("f!ſhell32.dll", 0x02),
                                    DwordValue("f!shell32.dll", 0x02)});
  image_.AddFile(fs::path("component") / "shell32.dll", "XYZ");
  image_.Write();

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + RepairedLine(image_, "component\\shell32.dll") + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
  const auto values = ReadKeyValues(image_.HivePath(), "DerivedData\\Components\\component");
  ASSERT_TRUE(values);
  EXPECT_EQ(values->at("f!ſhell32.dll"), StoredDword(0x02));
  EXPECT_EQ(values->at("f!shell32.dll"), StoredDword(0x00));
}

TEST_F(RepairTest, EmptyComponentListFindsNothing) {
  image_.ComponentList().subkeys.clear();
  image_.Write();
  const auto configBefore = FolderContents(image_.ConfigDirectory());

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()});

  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(FolderContents(image_.ConfigDirectory()), configBefore);
}

// Every file is opened, read and closed before the next: with few
// descriptors allowed, a leak would leave later files unread.
TEST_F(RepairTest, RepairsManyFilesWithFewDescriptors) {
  constexpr int kComponents = 12;
  constexpr int kFilesPerDirectory = 10;
  image_.ComponentList().subkeys.clear();
  std::string expectedLines;
  for (int c = 0; c < kComponents; ++c) {
    const std::string component = "component-" + std::to_string(c / 10) + std::to_string(c % 10);
    std::vector<image::HiveValue> values = {DwordValue("CF", 0x200)};
    for (const std::string directory : {"", "sub\\"}) {
      for (int f = 0; f < kFilesPerDirectory; ++f) {
        const std::string path = directory + "file" + std::to_string(f) + ".dll";
        values.push_back(DwordValue(RecordName(std::u16string(path.begin(), path.end())), 0x02));
        image_.AddFile(fs::path(component) / (directory.empty() ? "" : "sub") / ("file" + std::to_string(f) + ".dll"),
                       "XYZ");
        expectedLines += RepairedLine(image_, component + "\\" + path);
      }
    }
    image_.AddComponent(component, values);
  }
  image_.Write();

  const ToolRun run = RunTessaly({image_.WindowsDirectory().string()}, ToolLimits{std::nullopt, 24});

  EXPECT_EQ(run.output, Banner() + expectedLines + RepairedSummary());
  EXPECT_EQ(run.exitStatus, 0);
}

}  // namespace
}  // namespace tessaly::offline_test
