#include "records/make_file_record_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "fakes/event_log.h"
#include "servicing/native_path_hash.h"

namespace tessaly {
namespace {

constexpr char16_t kComponentDirectory[] =
    u"\\\\?\\C:\\Windows\\winsxs\\amd64_microsoft-windows-kernel32_31bf3856ad364e35_10.0.19041.1_none_1\\";

std::u16string NameOf(std::u16string_view relativePath, const ServicingHash& hash = NativeServicingHash()) {
  const std::u16string directory = kComponentDirectory;
  return MakeFileRecordName(directory + std::u16string(relativePath), directory.size(), hash);
}

std::u16string HashSuffix(std::u16string_view text) {
  const auto bytes = static_cast<std::uint32_t>(text.size() * sizeof(char16_t));
  const CountedString counted{bytes, bytes, text.data()};
  std::uint64_t hash = 0;
  NativeHashLUnicodeString(&counted, NativeDowncaseCharacter, &hash);
  return u"_" + FormatHex64Lower(hash);
}

TEST(MakeFileRecordNameTest, Names) {
  const std::u16string thirty = u"abcdefghijklmnopqrstuvwxyz.dll";  // 30 characters
  const std::u16string twentyFive = thirty.substr(0, 25);
  const struct {
    std::u16string relativePath;
    std::u16string name;
  } rows[] = {
      {u"kernel32.dll", u"f!kernel32.dll"},
      {u"ABC.txt", u"f!aBC.txt"},
      {u"@Z[]^`.x", u"f!`Z[]^`.x"},
      {u"\x01 !09?.dll", u"f!\x21 !09?.dll"},
      {u"x_y.dll", u"f!x_y.dll_d79bb198c3c74334"},
      {u"res\\file.dll", u"f!res_file.dll_b8f59fef0be0ba8e"},
      {u"RES\\File.DLL", u"f!RES_File.DLL_b8f59fef0be0ba8e"},
      {u"abcdefghijklmnopqrstuvwxyz0123.dll", u"f!abcdefghijklmnopqrstuvwxy_c29afaad4c70a52d"},
      {thirty, u"f!" + twentyFive + HashSuffix(thirty)},
      {twentyFive, u"f!" + twentyFive},
      {twentyFive + u"Q", u"f!" + twentyFive + HashSuffix(twentyFive + u"Q")},
      {u"a\\b\\c.dll", u"f!a_b_c.dll" + HashSuffix(u"a\\b\\c.dll")},
      // Only the retained 25 characters are mapped; the hash covers the whole path as found.
      {u"ABCDEFGHIJKLMNOPQRSTUVWXY_Z.dll",
       u"f!aBCDEFGHIJKLMNOPQRSTUVWXY" + HashSuffix(u"ABCDEFGHIJKLMNOPQRSTUVWXY_Z.dll")},
      {u"\u6587\u4EF6.dll", u"f!\u6587\u4EF6.dll"},
      {u"\u00C4\u00E4\u00DF.DLL", u"f!\u00C4\u00E4\u00DF.DLL"},
      {u"\u00C4_.dll", u"f!\u00C4_.dll" + HashSuffix(u"\u00C4_.dll")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(fakes::Utf8(row.relativePath));
    EXPECT_EQ(NameOf(row.relativePath), row.name);
  }
}

TEST(MakeFileRecordNameTest, NamesAreAtMost44Characters) {
  const std::u16string deep = u"very\\deeply\\nested\\directory\\with\\a_long_file_name.manifest";
  const std::u16string name = NameOf(deep);
  EXPECT_EQ(name.size(), 44u);
  EXPECT_EQ(name, u"f!very_deeply_nested_direct" + HashSuffix(deep));
}

// Records what the hash entry point was given.
struct HashCall {
  std::uint32_t length;
  std::uint32_t maximumLength;
  const char16_t* buffer;
  std::u16string text;
  DowncaseRoutine downcase;
};
std::vector<HashCall> gHashCalls;

std::int32_t TESSALY_FASTCALL RecordingHash(const CountedString* text, DowncaseRoutine downcase, std::uint64_t* hash) {
  gHashCalls.push_back({text->length, text->maximumLength, text->buffer,
                        std::u16string(text->buffer, text->length / sizeof(char16_t)), downcase});
  *hash = 0x0123456789ABCDEF;
  return 0;
}

// Fails without touching the result, as a hash routine may.
std::int32_t TESSALY_FASTCALL FailingHash(const CountedString*, DowncaseRoutine, std::uint64_t*) {
  return static_cast<std::int32_t>(0xC000000D);
}

char16_t TESSALY_FASTCALL SomeDowncase(char16_t unit) { return unit; }

TEST(MakeFileRecordNameTest, HashesTheRelativePathInPlace) {
  gHashCalls.clear();
  const std::u16string directory = kComponentDirectory;
  const std::u16string relativePath = u"Res\\Sub_Dir\\AVeryLongFileNameIndeed.dll";
  const std::u16string fullPath = directory + relativePath;

  const std::u16string name = MakeFileRecordName(fullPath, directory.size(), {RecordingHash, SomeDowncase});

  ASSERT_EQ(gHashCalls.size(), 1u);
  const HashCall& call = gHashCalls[0];
  EXPECT_EQ(call.text, relativePath);
  EXPECT_EQ(call.length, 2 * relativePath.size());
  EXPECT_EQ(call.maximumLength, 2 * relativePath.size());
  EXPECT_EQ(call.buffer, fullPath.data() + directory.size());
  EXPECT_EQ(call.downcase, &SomeDowncase);
  EXPECT_EQ(name, u"f!Res_Sub_Dir_aVeryLongFile_0123456789abcdef");
}

TEST(MakeFileRecordNameTest, PlainNamesAreNotHashed) {
  gHashCalls.clear();
  NameOf(u"kernel32.dll", {RecordingHash, SomeDowncase});
  EXPECT_TRUE(gHashCalls.empty());
}

TEST(MakeFileRecordNameTest, UntouchedHashResultGivesZeros) {
  EXPECT_EQ(NameOf(u"x_y.dll", {FailingHash, SomeDowncase}), u"f!x_y.dll_0000000000000000");
}

}  // namespace
}  // namespace tessaly
