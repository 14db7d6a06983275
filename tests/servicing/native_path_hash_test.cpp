#include "servicing/native_path_hash.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/event_log.h"

namespace tessaly {
namespace {

std::uint64_t Hash(std::u16string_view text, DowncaseRoutine downcase = NativeDowncaseCharacter) {
  const auto bytes = static_cast<std::uint32_t>(text.size() * sizeof(char16_t));
  const CountedString counted{bytes, bytes, text.data()};
  std::uint64_t hash = 0;
  EXPECT_EQ(NativeHashLUnicodeString(&counted, downcase, &hash), 0);
  return hash;
}

TEST(NativePathHashTest, KnownAnswers) {
  const struct {
    std::u16string_view path;
    std::uint64_t hash;
  } rows[] = {
      {u"x_y.dll", 0xd79bb198c3c74334},
      {u"res\\file.dll", 0xb8f59fef0be0ba8e},
      {u"RES\\File.DLL", 0xb8f59fef0be0ba8e},
      {u"abcdefghijklmnopqrstuvwxyz0123.dll", 0xc29afaad4c70a52d},
      {u"a", 0x0000b825fffeebc7},
      {u"", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(fakes::Utf8(row.path));
    EXPECT_EQ(Hash(row.path), row.hash);
    EXPECT_EQ(Hash(row.path, nullptr), row.hash);
  }
}

TEST(NativePathHashTest, ReadsOnlyTheCountedCharacters) {
  const std::u16string longer = u"x_y.dllAND MORE";
  EXPECT_EQ(Hash(std::u16string_view(longer).substr(0, 7)), 0xd79bb198c3c74334u);
}

TEST(NativePathHashTest, NonAsciiLettersHashAlikeInEitherCase) {
  const struct {
    std::u16string_view upper;
    std::u16string_view lower;
  } rows[] = {
      {u"\u00C4.dll", u"\u00E4.dll"},        // Ä ä
      {u"\u0100x", u"\u0101x"},              // Ā ā
      {u"\u03A3\u0394", u"\u03C3\u03B4"},    // ΣΔ σδ
      {u"\u042F\u0416", u"\u044F\u0436"},    // ЯЖ яж
      {u"\uFF21", u"\uFF41"},                // fullwidth Ａ ａ
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(fakes::Utf8(row.upper));
    EXPECT_EQ(Hash(row.upper), Hash(row.lower));
    EXPECT_NE(Hash(row.upper), Hash(u"x"));
  }
  EXPECT_NE(Hash(u"\u00C4"), Hash(u"\u00C5"));
}

TEST(NativeDowncaseCharacterTest, SimpleLowerCaseMapping) {
  const struct {
    char16_t in;
    char16_t out;
  } rows[] = {
      {u'A', u'a'},          {u'Z', u'z'},          {u'a', u'a'},          {u'@', u'@'},
      {u'[', u'['},          {u'1', u'1'},          {u'\u00C0', u'\u00E0'}, {u'\u00D7', u'\u00D7'},
      {u'\u00DE', u'\u00FE'}, {u'\u0100', u'\u0101'}, {u'\u0101', u'\u0101'}, {u'\u0130', u'i'},
      {u'\u0178', u'\u00FF'}, {u'\u0391', u'\u03B1'}, {u'\u0410', u'\u0430'}, {u'\u4E2D', u'\u4E2D'},
      {u'\uFF3A', u'\uFF5A'}, {u'\uFFFF', u'\uFFFF'},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(static_cast<unsigned>(NativeDowncaseCharacter(row.in)), static_cast<unsigned>(row.out))
        << std::hex << static_cast<unsigned>(row.in);
  }
}

// A downcase routine that turns every unit it is given into 'q'.
char16_t TESSALY_FASTCALL DowncaseToQ(char16_t) { return u'q'; }

TEST(NativePathHashTest, UsesTheDowncaseRoutineItIsGiven) {
  EXPECT_EQ(Hash(u"\u00C4", DowncaseToQ), Hash(u"q"));
  EXPECT_EQ(Hash(u"\u6587\u4EF6", DowncaseToQ), Hash(u"qq"));
  // Upper-case ASCII letters are lowered without it.
  EXPECT_EQ(Hash(u"AB", DowncaseToQ), Hash(u"ab"));
}

}  // namespace
}  // namespace tessaly
