// A repair rewrites records where they lie: the saved hive is the original
// byte for byte but for the 4 data bytes of each rewritten record and the
// base block's sequence numbers and checksum. A value kept as big data, in
// segments, stays as Windows wrote it.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hive_contents.h"
#include "test_image.h"
#include "tool_run.h"

namespace tessaly::offline_test {
namespace {

using image::BinaryValue;
using image::DwordValue;

constexpr char kComponent[] = "amd64_microsoft-windows-in-place_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::string kComponentKey = std::string("DerivedData\\Components\\") + kComponent;
constexpr std::size_t kBaseBlockSize = 4096;

std::uint32_t Le32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

TEST(InPlaceRepairTest, OnlyTheRecordBytesAndTheBaseBlockSequenceChange) {
  TestImage image;
  std::vector<std::uint8_t> manifest(40000);
  for (std::size_t i = 0; i < manifest.size(); ++i) manifest[i] = static_cast<std::uint8_t>(i * 7);
  image.AddComponent(kComponent, {DwordValue("CF", 0x200), BinaryValue("manifest", manifest),
                                  DwordValue(RecordName(u"bad-dcd.dll"), 0x1302), DwordValue(RecordName(u"good.dll"), 0x02),
                                  DwordValue(RecordName(u"bad-dcs.dll"), 0x20)});
  image.AddFile(std::string(kComponent) + "/bad-dcd.dll", "MZ\x90");
  image.AddFile(std::string(kComponent) + "/good.dll", "DCD");
  image.AddFile(std::string(kComponent) + "/bad-dcs.dll", "DCX");
  image.Write();
  const std::string original = ReadFileBytes(image.HivePath());

  ASSERT_EQ(RunTessaly({image.WindowsDirectory().string()}).exitStatus, 0);
  const std::string saved = ReadFileBytes(image.HivePath());

  ASSERT_EQ(saved.size(), original.size());
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, RecordName(u"bad-dcd.dll")), 0x1300u);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, RecordName(u"bad-dcs.dll")), 0x00u);
  EXPECT_EQ(ReadDword(image.HivePath(), kComponentKey, RecordName(u"good.dll")), 0x02u);
  EXPECT_EQ(ReadKeyValues(image.HivePath(), kComponentKey)->at("manifest").data, manifest);

  // Each record changed in one byte (its low byte); nothing else in the bins.
  std::size_t changedBytes = 0;
  for (std::size_t i = kBaseBlockSize; i < saved.size(); ++i) changedBytes += saved[i] != original[i];
  EXPECT_EQ(changedBytes, 2u);

  // The base block: both sequence numbers equal and newer, a fresh checksum, the rest as it was.
  const std::uint32_t sequence = Le32(saved, 4);
  EXPECT_EQ(Le32(saved, 8), sequence);
  EXPECT_GT(sequence, Le32(original, 4));
  std::uint32_t checksum = 0;
  for (std::size_t offset = 0; offset < 0x1FC; offset += 4) checksum ^= Le32(saved, offset);
  EXPECT_EQ(Le32(saved, 0x1FC), checksum);
  for (std::size_t i = 0; i < kBaseBlockSize; ++i) {
    if ((i >= 4 && i < 12) || (i >= 0x1FC && i < 0x200)) continue;
    ASSERT_EQ(saved[i], original[i]) << "base block byte " << i;
  }
}

}  // namespace
}  // namespace tessaly::offline_test
