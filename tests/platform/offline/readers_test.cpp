// The two readers of untrusted bytes, on files the image writers produce and
// on every way of cutting them short.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hive/base_block.h"
#include "platform/offline/pe_export_names.h"
#include "tests/offline/test_image.h"
#include "tools/image/hive_writer.h"
#include "tools/image/pe_writer.h"

namespace tessaly::offline_test {
namespace {

using hive::CheckBaseBlock;
using hive::BaseBlockState;
using offline::ReadPeExportNames;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class ReadersTest : public testing::Test {
 protected:
  std::vector<std::uint8_t> WrittenDll(const std::vector<std::string>& exports) {
    const fs::path file = folder_.Root() / "test.dll";
    EXPECT_TRUE(image::WritePeDll(file, exports));
    return Bytes(ReadFileBytes(file));
  }

  std::vector<std::uint8_t> WrittenHive() {
    const fs::path file = folder_.Root() / "hive";
    EXPECT_TRUE(image::WriteHive(file, image::HiveKey{"ROOT", {image::DwordValue("v", 1)}, {}}));
    return Bytes(ReadFileBytes(file));
  }

  TestImage folder_;
};

TEST_F(ReadersTest, ExportNamesOfAWrittenDll) {
  const std::vector<std::string> names = {"RtlDowncaseUCSCharacter", "RtlHashLUnicodeString", "WcpInitialize"};
  EXPECT_EQ(ReadPeExportNames(WrittenDll(names)), names);
}

// Cut anywhere, a DLL is either still read whole or refused: never a
// partial or garbled list (and, under the sanitizers, never a read beyond
// the bytes).
TEST_F(ReadersTest, EveryPrefixOfADllIsReadWholeOrRefused) {
  // In the order of the DLL's name table, which is sorted.
  const std::vector<std::string> names = {"RtlDowncaseUCSCharacter", "RtlHashLUnicodeString"};
  const std::vector<std::uint8_t> dll = WrittenDll(names);
  for (std::size_t size = 0; size < dll.size(); ++size) {
    const auto read = ReadPeExportNames(std::span(dll).first(size));
    if (read) {
      EXPECT_EQ(*read, names) << "cut at " << size;
    }
  }
}

TEST_F(ReadersTest, ImagesThatAreNotPeAreRefused) {
  std::vector<std::uint8_t> dll = WrittenDll({"RtlHashLUnicodeString"});
  const std::uint32_t ntHeader = dll[0x3C] | dll[0x3D] << 8;
  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  };
  for (const Damage& damage : {Damage{"DOS signature", 0, 'N'}, Damage{"NT signature", ntHeader + 1, 'F'},
                               Damage{"NT header offset", 0x3F, 0x7F},
                               Damage{"optional header magic", ntHeader + 24, 0x0C}}) {
    std::vector<std::uint8_t> damaged = dll;
    damaged[damage.offset] = damage.value;
    EXPECT_EQ(ReadPeExportNames(damaged), std::nullopt) << damage.what;
  }
  EXPECT_EQ(ReadPeExportNames(Bytes("MZ")), std::nullopt);
}

TEST_F(ReadersTest, BaseBlockStates) {
  const std::vector<std::uint8_t> hive = WrittenHive();
  EXPECT_EQ(CheckBaseBlock(hive), BaseBlockState::Clean);
  EXPECT_EQ(CheckBaseBlock(std::span(hive).first(hive::kBaseBlockSize)), BaseBlockState::Clean);
  EXPECT_EQ(CheckBaseBlock(std::span(hive).first(hive::kBaseBlockSize - 1)), BaseBlockState::NotAHive);

  std::vector<std::uint8_t> wrongSignature = hive;
  wrongSignature[0] = 'R';
  EXPECT_EQ(CheckBaseBlock(wrongSignature), BaseBlockState::NotAHive);

  // The secondary sequence number moved on without the primary: the same
  // checksum no longer matches, which is a torn write, not another file
  // format; once it does match, the hive is dirty.
  std::vector<std::uint8_t> dirty = hive;
  dirty[0x08] ^= 0x01;
  EXPECT_EQ(CheckBaseBlock(dirty), BaseBlockState::ChecksumMismatch);
  dirty[0x1FC] ^= 0x01;
  EXPECT_EQ(CheckBaseBlock(dirty), BaseBlockState::Dirty);
}

}  // namespace
}  // namespace tessaly::offline_test
