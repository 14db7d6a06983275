// The progress line on a terminal: it shows on standard error when that is
// a terminal, is gone before every message and at the end, and standard
// output is byte for byte what a run without a terminal prints.

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "test_image.h"
#include "tool_run.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr std::string_view kEraseLine = "\r\033[K";

// The text a terminal shows for these bytes: "\r" returns to the start of
// the line, "\033[K" clears it from there, "\n" ends it (the terminal sends
// "\r\n" for it).
std::string Screen(std::string_view bytes) {
  std::string shown;
  std::string line;
  std::size_t cursor = 0;
  while (!bytes.empty()) {
    if (bytes.starts_with("\033[K")) {
      line.resize(cursor);
      bytes.remove_prefix(3);
      continue;
    }
    const char byte = bytes.front();
    bytes.remove_prefix(1);
    if (byte == '\r') {
      cursor = 0;
    } else if (byte == '\n') {
      shown += line + "\n";
      line.clear();
      cursor = 0;
    } else {
      line.replace(cursor, 1, 1, byte);
      ++cursor;
    }
  }
  return shown + line;
}

// Two components, a wrong record in the first: the line is drawn as the scan
// reaches the first and is still up when that file's message comes.
class ProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    image_.AddComponent("amd64_progress.first", {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02)});
    image_.AddFile("amd64_progress.first/a.dll", "MZ\x90");
    image_.AddComponent("amd64_progress.second", {DwordValue("CF", 0x200), DwordValue("f!b.dll", 0x02)});
    image_.AddFile("amd64_progress.second/b.dll", "DCD");
    image_.Write();
  }

  std::vector<std::string> DryRun() const { return {"--dry-run", image_.WindowsDirectory().string()}; }

  TestImage image_;
};

TEST_F(ProgressTest, StandardOutputIsTheSameWhereverStandardErrorGoes) {
  const ToolRun plain = RunTessaly(DryRun());
  ASSERT_EQ(plain.exitStatus, 0);
  ASSERT_EQ(plain.output, Banner() + ListedLine(image_, "amd64_progress.first/a.dll") + DryRunSummary(1));
  ASSERT_EQ(plain.errors, "");

  const ToolRun inFile = RunTessaly(DryRun(), Streams::ErrorsInFile);
  EXPECT_EQ(inFile.exitStatus, 0);
  EXPECT_EQ(inFile.output, plain.output);
  EXPECT_EQ(inFile.errors, "");

  const ToolRun onTerminal = RunTessaly(DryRun(), Streams::ErrorsOnTerminal);
  EXPECT_EQ(onTerminal.exitStatus, 0);
  EXPECT_EQ(onTerminal.output, plain.output);
  EXPECT_TRUE(onTerminal.errors.starts_with("\r正在检查组件 1/2，已查看 0 个文件，用时 "))
      << onTerminal.errors;
  EXPECT_TRUE(onTerminal.errors.ends_with(kEraseLine)) << onTerminal.errors;
  EXPECT_EQ(Screen(onTerminal.errors), "");
}

TEST_F(ProgressTest, SharedTerminalShowsExactlyTheMessages) {
  const ToolRun plain = RunTessaly(DryRun());
  const ToolRun shared = RunTessaly(DryRun(), Streams::BothOnTerminal);
  EXPECT_EQ(shared.exitStatus, 0);
  EXPECT_NE(shared.output.find("正在检查组件 1/2"), std::string::npos) << shared.output;
  EXPECT_EQ(Screen(shared.output), plain.output);
}

}  // namespace
}  // namespace tessaly::offline_test
