#include "registry/read_dword_value.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"

namespace tessaly {
namespace {

using namespace fakes;

class ReadDwordValueTest : public testing::Test {
 protected:
  ReadDwordValueTest() {
    fakes_.registry.LocalMachine().Subkey(u"Test");
    EXPECT_EQ(fakes_.registry.OpenKeyEx(kLocalMachine, u"Test", 0, kKeyRead, &key_), Win32Status::Success);
  }
  ~ReadDwordValueTest() override { fakes_.registry.CloseKey(key_); }

  FakeKey& Key() { return *fakes_.registry.LocalMachine().Find(u"Test"); }
  Win32Status Read(const char16_t* name, std::uint32_t* value) {
    return ReadDwordValue(fakes_.registry, key_, name, value);
  }

  FakePlatform fakes_;
  KeyHandle key_ = KeyHandle::None;
};

TEST_F(ReadDwordValueTest, ReadsALittleEndianDword) {
  Key().SetDword(u"CF", 0x12345678);
  std::uint32_t value = 0;

  EXPECT_EQ(Read(u"CF", &value), Win32Status::Success);
  EXPECT_EQ(value, 0x12345678u);
}

TEST_F(ReadDwordValueTest, NamesIgnoreCase) {
  Key().SetDword(u"f!abc.txt", 0x22);
  std::uint32_t value = 0;

  EXPECT_EQ(Read(u"f!aBC.txt", &value), Win32Status::Success);
  EXPECT_EQ(value, 0x22u);
}

TEST_F(ReadDwordValueTest, OtherTypesAndSizesFail) {
  Key().SetValue(u"binary", kRegBinary, {0x02, 0x00, 0x00, 0x00});
  Key().SetString(u"text", 1, u"x");  // REG_SZ of 4 bytes: "x" and its terminator
  Key().SetValue(u"qword", 11, {0x02, 0, 0, 0, 0, 0, 0, 0});
  Key().SetValue(u"long binary", kRegBinary, {1, 2, 3, 4, 5});
  const struct {
    const char16_t* name;
    Win32Status status;
  } rows[] = {
      {u"binary", Win32Status::UnsupportedType},
      {u"text", Win32Status::UnsupportedType},
      {u"qword", Win32Status::MoreData},
      {u"long binary", Win32Status::MoreData},
      {u"missing", Win32Status::FileNotFound},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf8(row.name));
    std::uint32_t value = 0;
    EXPECT_EQ(Read(row.name, &value), row.status);
  }
}

}  // namespace
}  // namespace tessaly
