// Directory searches through the file seam on real folders: each open
// search keeps its own listing whatever the others do, a directory is
// listed whole however often it is searched, and a closed search is gone.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/offline/image_tree.h"
#include "tests/platform/offline/opened_image.h"
#include "platform/offline/offline_file_system.h"
#include "platform/offline/progress_line.h"
#include "tests/offline/test_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

class DirectorySearchTest : public testing::Test {
 protected:
  std::u16string Pattern(const std::string& directoryBelowWinSxS) {
    return u"\\\\?\\" + image::Utf16FromUtf8(image_.WindowsDirectory().string()) + u"\\WinSxS\\" +
           image::Utf16FromUtf8(directoryBelowWinSxS) + u"\\*";
  }

  // Starts a search and returns its first entry's name ("" when it failed).
  std::u16string First(const std::string& directoryBelowWinSxS, SearchHandle* search) {
    DirectoryEntry entry;
    *search = files_.FindFirst(Pattern(directoryBelowWinSxS).c_str(), &entry);
    return *search == SearchHandle::Invalid ? u"" : entry.name;
  }

  std::vector<std::u16string> Rest(SearchHandle search) {
    std::vector<std::u16string> names;
    DirectoryEntry entry;
    while (files_.FindNext(search, &entry)) names.push_back(entry.name);
    return names;
  }

  TestImage image_;
  OpenedImage opened_{image_.WindowsDirectory().string()};
  offline::ProgressLine progress_;
  offline::OfflineFileSystem files_{opened_.tree, progress_};
};

TEST_F(DirectorySearchTest, NestedSearchesKeepTheirOwnListings) {
  for (const char* file : {"big/a.dll", "big/b.dll", "big/c.dll", "big/d.dll", "big/sub/x.dll", "small/y.dll"}) {
    image_.AddFile(file, "XYZ");
  }
  SearchHandle big{};
  SearchHandle sub{};
  ASSERT_EQ(First("big", &big), u".");
  DirectoryEntry entry;
  ASSERT_TRUE(files_.FindNext(big, &entry));
  ASSERT_EQ(First("big\\sub", &sub), u".");
  // The outer search is closed before the inner one is done.
  files_.FindClose(big);
  EXPECT_FALSE(files_.FindNext(big, &entry));
  EXPECT_EQ(Rest(sub), (std::vector<std::u16string>{u"..", u"x.dll"}));

  // A directory with fewer entries than the closed search had.
  SearchHandle small{};
  ASSERT_EQ(First("small", &small), u".");
  EXPECT_EQ(Rest(small), (std::vector<std::u16string>{u"..", u"y.dll"}));
  // The same directory searched twice at once, and once more after.
  SearchHandle again{};
  ASSERT_EQ(First("small", &again), u".");
  EXPECT_EQ(Rest(again), (std::vector<std::u16string>{u"..", u"y.dll"}));
  files_.FindClose(again);
  files_.FindClose(small);
  files_.FindClose(sub);
  ASSERT_EQ(First("big", &big), u".");
  EXPECT_EQ(Rest(big), (std::vector<std::u16string>{u"..", u"a.dll", u"b.dll", u"c.dll", u"d.dll", u"sub"}));
  files_.FindClose(big);
}

// More entries than one read of the directory returns.
TEST_F(DirectorySearchTest, ALargeDirectoryIsListedWholeInOrder) {
  std::vector<std::u16string> expected = {u".", u".."};
  for (int i = 0; i < 2000; ++i) {
    char name[80];
    std::snprintf(name, sizeof name, "microsoft-windows-component-payload-%04d.dll", i);
    image_.AddFile(fs::path("large") / name, "");
    expected.push_back(image::Utf16FromUtf8(name));
  }
  SearchHandle search{};
  std::vector<std::u16string> listed = {First("large", &search)};
  const std::vector<std::u16string> rest = Rest(search);
  listed.insert(listed.end(), rest.begin(), rest.end());
  files_.FindClose(search);
  EXPECT_EQ(listed, expected);
}

}  // namespace
}  // namespace tessaly::offline_test
