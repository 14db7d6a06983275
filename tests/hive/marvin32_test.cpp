#include "hive/marvin32.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace tessaly::hive {
namespace {

TEST(Marvin32, EmptyInputWithTheLogSeed) { EXPECT_EQ(Marvin32({}, kLogEntryHashSeed), 0xB39EFCA403966E08u); }

// The first 32 bytes of an entry of a real Windows 10 log, and the hash-2 it stores.
TEST(Marvin32, EntryHeaderOfARealWindowsLog) {
  constexpr std::array<std::uint8_t, 32> header{
      0x48, 0x76, 0x4c, 0x45, 0x00, 0x5e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
      0x00, 0x50, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x31, 0xe4, 0x07, 0x18, 0x66, 0x6c, 0x86, 0x67,
  };
  EXPECT_EQ(Marvin32(header, kLogEntryHashSeed), 0xCD44F3CFA7657F02u);
}

}  // namespace
}  // namespace tessaly::hive
