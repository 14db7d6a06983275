// A run that cannot get the memory it needs says so and ends with
// ERROR_OUTOFMEMORY, having written nothing, instead of dying silently.

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "test_image.h"
#include "tree_state.h"

namespace tessaly::offline_test {
namespace {

// Enough components that the hive file is larger than kFailingFrom: a
// repair maps or reads it whole before its banner, to know the room a save
// needs.
constexpr int kComponents = 8000;
constexpr std::size_t kFailingFrom = std::size_t{256} << 10;

TEST(OutOfMemoryTest, IsReportedAndEndsTheRunWritingNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator would be bypassed";
#endif
  TestImage image;
  for (int i = 0; i < kComponents; ++i) {
    image.AddComponent("amd64_component-" + std::to_string(i), {image::DwordValue("CF", 0x200)});
  }
  image.Write();
  const auto before = TreeState(image.Root());

  const ToolRun run = RunTessalyFailingAllocationsFrom({image.WindowsDirectory().string()}, kFailingFrom);

  EXPECT_EQ(run.output, "内存不足，无法执行修复。\n");
  EXPECT_EQ(run.exitStatus, 0x0E);  // low byte of 0x8007000E
  EXPECT_EQ(TreeState(image.Root()), before);
}

}  // namespace
}  // namespace tessaly::offline_test
