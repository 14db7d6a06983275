#include "common/text.h"

#include <gtest/gtest.h>

#include "common/status.h"

namespace tessaly {
namespace {

TEST(FormatTest, NumbersAsTheMessagesPrintThem) {
  EXPECT_EQ(FormatDecimal(0), u"0");
  EXPECT_EQ(FormatDecimal(4294967295u), u"4294967295");
  EXPECT_EQ(FormatHex32(0x20), u"0x00000020");
  EXPECT_EQ(FormatHex32(0xC0000061), u"0xC0000061");
  EXPECT_EQ(FormatHex64Lower(0xb8f59fef0be0ba8eull), u"b8f59fef0be0ba8e");
  EXPECT_EQ(FormatHex64Lower(0), u"0000000000000000");
}

TEST(StatusTest, HresultFromWin32) {
  EXPECT_EQ(Bits(HresultFromWin32(Win32Status::Success)), 0u);
  EXPECT_EQ(Bits(HresultFromWin32(Win32Status::SharingViolation)), 0x80070020u);
  EXPECT_EQ(Bits(HresultFromWin32(static_cast<Win32Status>(0x12345))), 0x80072345u);
  EXPECT_EQ(Bits(HresultFromWin32(static_cast<Win32Status>(-5))), static_cast<std::uint32_t>(-5));
}

TEST(StatusTest, HresultFromLastErrorCode) {
  EXPECT_EQ(Bits(HresultFromLastErrorCode(0)), 0x80004005u);
  EXPECT_EQ(Bits(HresultFromLastErrorCode(122)), 0x8007007Au);
  EXPECT_EQ(Bits(HresultFromLastErrorCode(0xFFFF)), 0x8007FFFFu);
  EXPECT_EQ(Bits(HresultFromLastErrorCode(0x10000)), 0x10000u);
  EXPECT_EQ(Bits(HresultFromLastErrorCode(0xC0000005)), 0xC0000005u);
}

}  // namespace
}  // namespace tessaly
