// Names as Windows compares them: equal ignoring case, hashed alike when
// equal, and listed in upper-cased UTF-16 order.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/offline/name_case.h"

namespace tessaly::offline_test {
namespace {

using offline::ListsBefore;
using offline::NameHash;
using offline::SameName;

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

TEST(NameCaseTest, NamesBeyondAsciiCompareByTheirUpperCase) {
  struct Case {
    std::u16string left;
    std::u16string right;
    bool same;
  };
  for (const Case& c : {
           Case{u"größe.dll", u"GRÖßE.DLL", true},
           // Lower-case letters whose upper case is ASCII: one name takes the
           // ASCII path through the hash, the other does not.
           Case{u"abcı", u"ABCI", true},
           Case{u"ſetup.dll", u"SETUP.DLL", true},
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
  const std::vector<std::u16string> expected = {u".",     u"..",    u"A.dll", u"a.dll", u"a2.dll",
                                                u"b",     u"B.dll", u"Z.dll", u"_x.dll", u"ä.dll"};
  std::vector<std::u16string> names = expected;
  std::reverse(names.begin(), names.end());
  std::sort(names.begin(), names.end(), ListsBefore);
  EXPECT_EQ(names, expected);
  for (const std::u16string& name : expected) EXPECT_FALSE(ListsBefore(name, name));
}

}  // namespace
}  // namespace tessaly::offline_test
