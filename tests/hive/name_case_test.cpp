// Names as Windows compares them: equal ignoring case, hashed alike when
// equal, and listed in upper-cased UTF-16 order.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hive/name_case.h"

namespace tessaly::offline_test {
namespace {

using hive::ListsBefore;
using hive::NameHash;
using hive::SameName;

// Every ASCII character, at each place of a name of four units (hashed
// together) and of five and seven (the last units hashed apart): a name
// and its upper-cased form are the same name, with the same hash.
TEST(NameCaseTest, AsciiNamesEqualTheirUpperCaseAndHashAlike) {
  for (char16_t unit = 0; unit < 0x80; ++unit) {
    const char16_t upper = (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
    for (const std::size_t length : {4u, 5u, 7u}) {
      for (std::size_t place = 0; place < length; ++place) {
        std::u16string name(length, u'q');
        std::u16string upcased(length, u'Q');
        name[place] = unit;
        upcased[place] = upper;
        EXPECT_TRUE(SameName(name, upcased)) << int(unit) << " at " << place;
        EXPECT_EQ(NameHash{}(name), NameHash{}(upcased)) << int(unit) << " at " << place;
      }
    }
  }
}

// Units beyond ASCII, each with its upper case in Windows' table and, where
// the C library upper-cases it to another unit, that unit: Windows takes
// names apart that the C library would fold together.
TEST(NameCaseTest, UnitsBeyondAsciiUpcaseAsWindowsDoes) {
  struct Case {
    char16_t unit;
    char16_t windowsUpper;
    char16_t otherUpper;  // 0: the same as Windows'
  };
  for (const Case& c : {
           Case{u'µ', u'µ', u'Μ'},
           Case{u'ı', u'ı', u'I'},
           Case{u'ſ', u'ſ', u'S'},
           Case{u'ς', u'ς', u'Σ'},
           Case{u'ა', u'ა', u'Ა'},
           Case{u'ǅ', u'ǅ', u'Ǆ'},
           Case{u'ä', u'Ä', 0},
           Case{u'ÿ', u'Ÿ', 0},
           Case{u'σ', u'Σ', 0},
           Case{u'я', u'Я', 0},
           Case{u'ǆ', u'Ǆ', 0},
           Case{u'ａ', u'Ａ', 0},
           Case{u'中', u'中', 0},
       }) {
    // Long enough that the unit is hashed within a whole word of four.
    const std::u16string name = u"f!" + std::u16string(1, c.unit) + u"hell32.dll";
    const std::u16string upper = u"F!" + std::u16string(1, c.windowsUpper) + u"HELL32.DLL";
    EXPECT_EQ(hive::UpcasedName(name), upper) << int(c.unit);
    EXPECT_TRUE(SameName(name, upper)) << int(c.unit);
    EXPECT_EQ(NameHash{}(name), NameHash{}(upper)) << int(c.unit);
    if (c.otherUpper != 0) {
      EXPECT_FALSE(SameName(name, u"F!" + std::u16string(1, c.otherUpper) + u"HELL32.DLL")) << int(c.unit);
    }
  }
}

TEST(NameCaseTest, NamesCompareByTheirUpperCase) {
  struct Case {
    std::u16string left;
    std::u16string right;
    bool same;
  };
  for (const Case& c : {
           Case{u"größe.dll", u"GRÖßE.DLL", true},
           Case{u"", u"", true},
           Case{u"a.dll", u"a.dl", false},
           Case{u"a.dll", u"b.dll", false},
           // Neighbours of the letters are not letters.
           Case{u"x@", u"x`", false},
           Case{u"x[", u"x{", false},
           Case{u"ä", u"a", false},
       }) {
    EXPECT_EQ(SameName(c.left, c.right), c.same) << std::string(c.left.begin(), c.left.end());
    if (c.same) {
      EXPECT_EQ(NameHash{}(c.left), NameHash{}(c.right));
    }
  }
}

// NTFS order: by upper-cased units, shorter first on a common prefix,
// names differing only in case by their own units.
TEST(NameCaseTest, ListingOrder) {
  const std::vector<std::u16string> expected = {
      u".",     u"..",    u"A.dll", u"a.dll", u"a2.dll", u"b",     u"B.dll", u"I.dll", u"S.dll", u"T.dll", u"Z.dll",
      u"_x.dll", u"µ.dll", u"ä.dll", u"ı.dll", u"ſ.dll",  u"Σ.dll", u"σ.dll", u"ς.dll", u"ა.dll", u"Ა.dll"};
  std::vector<std::u16string> names = expected;
  std::reverse(names.begin(), names.end());
  std::sort(names.begin(), names.end(), ListsBefore);
  EXPECT_EQ(names, expected);
  for (const std::u16string& name : expected) EXPECT_FALSE(ListsBefore(name, name));
}

// Names found to share one slot of a table under one key, as a hive could be
// crafted against a hash it knows, spread out under the run's own key.
TEST(NameCaseTest, NamesCollidingUnderAKnownKeySpreadUnderTheRunsKey) {
  constexpr std::size_t kSlots = 1024;
  constexpr std::size_t kNames = 64;
  const NameHash known{hive::NameHashKey{}};
  std::vector<std::u16string> colliding;
  for (unsigned number = 0; colliding.size() < kNames; ++number) {
    const std::string text = "f!collision" + std::to_string(number) + ".dll";
    const std::u16string name(text.begin(), text.end());
    if (known(name) % kSlots == 0) colliding.push_back(name);
  }
  std::vector<std::size_t> namesPerSlot(kSlots);
  for (const std::u16string& name : colliding) ++namesPerSlot[NameHash{}(name) % kSlots];
  // Random slots: more than 8 of 64 names in one of 1024 has odds below 1e-13.
  EXPECT_LE(*std::max_element(namesPerSlot.begin(), namesPerSlot.end()), 8u);
}

}  // namespace
}  // namespace tessaly::offline_test
