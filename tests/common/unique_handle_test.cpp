#include "common/unique_handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tessaly {
namespace {

enum class TestHandle : int { None = 0 };

// Records every handle released through it.
class CountingSeam {
 public:
  void Free(TestHandle handle) { released.push_back(static_cast<int>(handle)); }
  std::vector<int> released;
};

using UniqueTest = UniqueHandle<TestHandle::None, &CountingSeam::Free>;

std::vector<int> releasedWithoutSeam;
void FreeWithoutSeam(int handle) { releasedWithoutSeam.push_back(handle); }
using UniqueFree = UniqueHandle<-1, &FreeWithoutSeam>;

// Each handle is released once, through the seam that made it, whatever
// the owner went through.
TEST(UniqueHandleTest, EachHandleIsReleasedOnceThroughItsOwnSeam) {
  const struct {
    std::string name;
    std::function<void(CountingSeam&, CountingSeam&)> use;
    std::vector<int> releasedByFirst;
    std::vector<int> releasedBySecond;
  } rows[] = {
      {"Scope", [](CountingSeam& first, CountingSeam&) { UniqueTest owner(first, TestHandle{1}); }, {1}, {}},
      {"Empty", [](CountingSeam& first, CountingSeam&) { UniqueTest owner(first); }, {}, {}},
      {"MoveConstruct",
       [](CountingSeam& first, CountingSeam&) {
         UniqueTest from(first, TestHandle{1});
         const UniqueTest to(std::move(from));
         EXPECT_FALSE(from);
         EXPECT_EQ(to.Get(), TestHandle{1});
       },
       {1},
       {}},
      {"MoveAssignOverAHeldHandle",
       [](CountingSeam& first, CountingSeam& second) {
         UniqueTest from(first, TestHandle{1});
         UniqueTest to(second, TestHandle{2});
         to = std::move(from);
         EXPECT_EQ(second.released, std::vector<int>{2});
         EXPECT_TRUE(first.released.empty());
       },
       {1},
       {2}},
      {"PutReleasesTheHeldHandleFirst",
       [](CountingSeam& first, CountingSeam&) {
         UniqueTest owner(first, TestHandle{1});
         *owner.Put() = TestHandle{2};
         EXPECT_EQ(first.released, std::vector<int>{1});
       },
       {1, 2},
       {}},
      {"Reset",
       [](CountingSeam& first, CountingSeam&) {
         UniqueTest owner(first, TestHandle{1});
         owner.Reset(TestHandle{2});
         owner.Reset();
         EXPECT_FALSE(owner);
       },
       {1, 2},
       {}},
      {"Release",
       [](CountingSeam& first, CountingSeam&) {
         UniqueTest owner(first, TestHandle{1});
         EXPECT_EQ(owner.Release(), TestHandle{1});
       },
       {},
       {}},
  };
  for (const auto& row : rows) {
    CountingSeam first;
    CountingSeam second;
    row.use(first, second);
    EXPECT_EQ(first.released, row.releasedByFirst) << row.name;
    EXPECT_EQ(second.released, row.releasedBySecond) << row.name;
  }
}

TEST(UniqueHandleTest, AFreeFunctionReleasesWithoutASeam) {
  releasedWithoutSeam.clear();
  {
    UniqueFree from(3);
    UniqueFree to;
    EXPECT_FALSE(to);
    to = std::move(from);
    to.Reset(4);
    UniqueFree zero(0);
  }
  EXPECT_EQ(releasedWithoutSeam, (std::vector<int>{3, 0, 4}));
}

}  // namespace
}  // namespace tessaly
