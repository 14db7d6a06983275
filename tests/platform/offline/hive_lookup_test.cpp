// Key and value lookups through the registry seam on a real COMPONENTS
// hive: names found whatever their case, each key's own values found while
// the lookups move from key to key, and a value rewritten in place seen by
// the next lookup.

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/offline/image_tree.h"
#include "tests/platform/offline/opened_image.h"
#include "platform/posix/posix_console.h"
#include "platform/offline/offline_registry.h"
#include "platform/offline/progress_line.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"
#include "tests/offline/hive_contents.h"
#include "tests/offline/test_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr int kManyComponents = 1500;
constexpr int kManyValues = 3000;

std::string ManyName(int index) { return "Component-" + std::to_string(index); }
std::string ManyValueName(int index) { return "f!file-" + std::to_string(index) + ".dll"; }

std::u16string Upcased(const std::string& ascii) {
  std::u16string upcased;
  for (const char c : ascii) upcased.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 0x20 : c));
  return upcased;
}

// Longer than one cell holds: kept as big data, in segments.
std::vector<std::uint8_t> BigData() {
  std::vector<std::uint8_t> data(16344 * 2 + 1);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  return data;
}

class HiveLookupTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent("one", {DwordValue("CF", 0x200), DwordValue("f!Kernel32.dll", 1), DwordValue("größe", 2)});
    image_.AddComponent("two", {DwordValue("CF", 0x300), DwordValue("f!kernel32.dll", 3),
                                image::BinaryValue("manifest", BigData())});
    std::vector<image::HiveValue> manyValues;
    for (int i = 0; i < kManyValues; ++i) manyValues.push_back(DwordValue(ManyValueName(i), i));
    image_.AddComponent("many-values", std::move(manyValues));
    for (int i = 0; i < kManyComponents; ++i) image_.AddComponent(ManyName(i), {DwordValue("CF", i)});
    image_.Write();
    const std::u16string hivePath =
        u"\\\\?\\" + image::Utf16FromUtf8(image_.WindowsDirectory().string()) + u"\\System32\\config\\COMPONENTS";
    ASSERT_EQ(registry_.LoadKey(kLocalMachine, u"COMPONENTS", hivePath.c_str()), Win32Status::Success);
  }

  UniqueKey OpenComponent(const std::u16string& name) {
    UniqueKey key(registry_);
    const std::u16string path = u"COMPONENTS\\DerivedData\\Components\\" + name;
    EXPECT_EQ(registry_.OpenKeyEx(kLocalMachine, path.c_str(), 0, kKeyReadWrite, key.Put()), Win32Status::Success)
        << image::Utf8FromUtf16(name);
    return key;
  }

  std::optional<std::uint32_t> Dword(const UniqueKey& key, const char16_t* name) {
    std::uint32_t value = 0;
    if (ReadDwordValue(registry_, key.Get(), name, &value) != Win32Status::Success) return std::nullopt;
    return value;
  }

  std::vector<std::u16string> ValueNames(const UniqueKey& key, const UniqueKey& other) {
    std::vector<std::u16string> names;
    char16_t name[64];
    for (std::uint32_t index = 0;; ++index) {
      std::uint32_t length = 64;
      if (registry_.EnumValue(key.Get(), index, name, &length, nullptr, nullptr, nullptr) != Win32Status::Success) {
        break;
      }
      names.emplace_back(name, length);
      // Another key's values looked up between two steps of the enumeration.
      EXPECT_EQ(Dword(other, u"cf"), 0x300u);
    }
    return names;
  }

  TestImage image_;
  OpenedImage opened_{image_.WindowsDirectory().string()};
  offline::ProgressLine progress_;
  posix::PosixStreamConsole console_{stdout};
  offline::OfflineRegistry registry_{opened_.tree, console_, progress_};
};

TEST_F(HiveLookupTest, EachKeyAnswersWithItsOwnValuesWhateverTheCase) {
  const UniqueKey one = OpenComponent(u"ONE");
  const UniqueKey two = OpenComponent(u"Two");
  EXPECT_EQ(Dword(one, u"F!KERNEL32.DLL"), 1u);
  EXPECT_EQ(Dword(two, u"F!KERNEL32.DLL"), 3u);
  EXPECT_EQ(Dword(one, u"GRÖßE"), 2u);
  EXPECT_EQ(Dword(two, u"größe"), std::nullopt);
  EXPECT_EQ(Dword(one, u"cf"), 0x200u);
  EXPECT_EQ(ValueNames(one, two), (std::vector<std::u16string>{u"CF", u"f!Kernel32.dll", u"größe"}));
}

TEST_F(HiveLookupTest, AValueSetIsSeenByTheNextLookupUnderItsStoredName) {
  const UniqueKey one = OpenComponent(u"one");
  const UniqueKey two = OpenComponent(u"two");
  ASSERT_EQ(Dword(one, u"f!kernel32.dll"), 1u);
  const std::uint8_t seven[4] = {7, 0, 0, 0};
  ASSERT_EQ(registry_.SetValueEx(one.Get(), u"F!KERNEL32.DLL", kRegDword, seven, 4), Win32Status::Success);
  // Only existing REG_DWORD values are rewritten, in place; nothing is added.
  EXPECT_EQ(registry_.SetValueEx(one.Get(), u"added", kRegDword, seven, 4), Win32Status::FileNotFound);
  EXPECT_EQ(registry_.SetValueEx(one.Get(), u"CF", kRegBinary, seven, 4), Win32Status::UnsupportedType);
  EXPECT_EQ(registry_.SetValueEx(one.Get(), u"CF", kRegDword, seven, 3), Win32Status::UnsupportedType);
  EXPECT_EQ(Dword(one, u"f!kernel32.dll"), 7u);
  EXPECT_EQ(Dword(one, u"CF"), 0x200u);
  EXPECT_EQ(Dword(two, u"f!kernel32.dll"), 3u);
  EXPECT_EQ(ValueNames(one, two), (std::vector<std::u16string>{u"CF", u"f!Kernel32.dll", u"größe"}));

  ASSERT_EQ(registry_.CommitLoadedHive(kLocalMachine, u"COMPONENTS"), Win32Status::Success);
  const auto saved = ReadKeyValues(image_.HivePath(), "DerivedData\\Components\\one");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->at("f!Kernel32.dll").data, (std::vector<std::uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(saved->count("F!KERNEL32.DLL"), 0u);
}

TEST_F(HiveLookupTest, BigDataIsReadWhole) {
  const UniqueKey two = OpenComponent(u"two");
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  ASSERT_EQ(registry_.QueryValueEx(two.Get(), u"MANIFEST", &type, nullptr, &size), Win32Status::Success);
  EXPECT_EQ(type, kRegBinary);
  std::vector<std::uint8_t> data(size);
  ASSERT_EQ(registry_.QueryValueEx(two.Get(), u"manifest", nullptr, data.data(), &size), Win32Status::Success);
  EXPECT_EQ(data, BigData());
}

TEST_F(HiveLookupTest, EveryKeyAndValueAmongThousandsIsFound) {
  for (int i = 0; i < kManyComponents; ++i) {
    const UniqueKey component = OpenComponent(Upcased(ManyName(i)));
    EXPECT_EQ(Dword(component, u"CF"), static_cast<std::uint32_t>(i));
  }
  const UniqueKey many = OpenComponent(u"many-values");
  for (int i = 0; i < kManyValues; ++i) {
    EXPECT_EQ(Dword(many, Upcased(ManyValueName(i)).c_str()), static_cast<std::uint32_t>(i));
  }
  EXPECT_EQ(Dword(many, u"f!file-3000.dll"), std::nullopt);
  UniqueKey missing(registry_);
  EXPECT_EQ(registry_.OpenKeyEx(kLocalMachine, u"COMPONENTS\\DerivedData\\Components\\Component-1500", 0, kKeyRead,
                                missing.Put()),
            Win32Status::FileNotFound);
}

// Windows' registry never holds two values whose names differ only in case,
// but a damaged or crafted hive can: the first in the key's order answers,
// as it did through hivex.
// A key of a few values is searched in order, a larger one through its
// hash index; both answer with the first of the equal names.
TEST(HiveLookupOrderTest, OfNamesEqualButForCaseTheFirstAnswers) {
  for (const int otherValues : {0, 40}) {
    SCOPED_TRACE(otherValues);
    TestImage image;
    std::vector<image::HiveValue> values = {DwordValue("f!twin-a.dll", 1), DwordValue("f!twin-b.dll", 2)};
    for (int i = 0; i < otherValues; ++i) values.push_back(DwordValue("f!other-" + std::to_string(i) + ".dll", 3));
    image.AddComponent("twins", values);
    image.Write();
    // The writer refuses such names, so the second is renamed in the file.
    std::string hive = ReadFileBytes(image.HivePath());
    const std::size_t second = hive.find("f!twin-b.dll");
    ASSERT_NE(second, std::string::npos);
    hive.replace(second, 12, "F!TWIN-A.DLL");
    std::ofstream(image.HivePath(), std::ios::binary | std::ios::trunc) << hive;

    OpenedImage opened{image.WindowsDirectory().string()};
    offline::ProgressLine progress;
    posix::PosixStreamConsole console{stdout};
    offline::OfflineRegistry registry{opened.tree, console, progress};
    const std::u16string hivePath =
        u"\\\\?\\" + image::Utf16FromUtf8(image.WindowsDirectory().string()) + u"\\System32\\config\\COMPONENTS";
    ASSERT_EQ(registry.LoadKey(kLocalMachine, u"COMPONENTS", hivePath.c_str()), Win32Status::Success);
    UniqueKey twins(registry);
    ASSERT_EQ(
        registry.OpenKeyEx(kLocalMachine, u"COMPONENTS\\DerivedData\\Components\\twins", 0, kKeyRead, twins.Put()),
        Win32Status::Success);
    for (const char16_t* name : {u"f!twin-a.dll", u"F!TWIN-A.DLL"}) {
      std::uint32_t value = 0;
      ASSERT_EQ(ReadDwordValue(registry, twins.Get(), name, &value), Win32Status::Success);
      EXPECT_EQ(value, 1u);
    }
  }
}

}  // namespace
}  // namespace tessaly::offline_test
