// The command line of the real executable: what each option prints, on
// which stream, and the exit status.

#include <gtest/gtest.h>

#include "app/version.h"
#include "common/utf_conversion.h"
#include "platform/posix/usage.h"
#include "test_image.h"
#include "tool_run.h"

namespace tessaly::offline_test {
namespace {

// The usage as the tool prints it, UTF-8.
std::string UsageText() { return Utf8FromUtf16Lossy(posix::UsageText()); }

constexpr int kInvalidArgument = 0x57;  // low byte of 0x80070057

TEST(CommandLineTest, UsageIsInChineseAndEnglish) {
  const std::string usage = UsageText();
  EXPECT_TRUE(usage.starts_with("用法：tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n")) << usage;
  EXPECT_NE(usage.find("\nUsage: tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"), std::string::npos) << usage;
}

TEST(CommandLineTest, HelpAndVersionGoToStandardOutputAndExitWithZero) {
  const struct {
    std::vector<std::string> arguments;
    std::string output;
  } rows[] = {
      {{"--help"}, UsageText()},
      {{"-h"}, UsageText()},
      // The first of them decides, wherever it stands.
      {{"/mnt/a/Windows", "/mnt/b/Windows", "--help", "--bogus"}, UsageText()},
      {{"--version"}, std::string("tessaly ") + TESSALY_VERSION_TEXT + "\n"},
      {{"-n", "--version", "--help"}, std::string("tessaly ") + TESSALY_VERSION_TEXT + "\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.arguments));
    const ToolRun run = RunTessaly(row.arguments);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exitStatus, 0);
  }
  EXPECT_EQ(RunTessaly({"--version"}).output, "tessaly 1.0.0.1001\n");
}

TEST(CommandLineTest, WrongCommandLinesPrintTheUsageToStandardErrorAndExitWithInvalidArgument) {
  const std::string unknown = "tessaly：未知选项 / unknown option: ";
  const std::string count = "tessaly：需要一个 WINDOWS_DIR / expected one WINDOWS_DIR\n";
  const std::string jobs = "tessaly：--jobs 需要 1 到 64 之间的整数 / --jobs needs a whole number from 1 to 64: ";
  const struct {
    std::vector<std::string> arguments;
    std::string reason;
  } rows[] = {
      {{}, count},
      {{"-n"}, count},
      {{"/mnt/a/Windows", "/mnt/b/Windows"}, count},
      {{"--dry-run", "--", "/mnt/a/Windows", "-n"}, count},
      {{"--bogus", "/mnt/a/Windows"}, unknown + "--bogus\n"},
      {{"/mnt/a/Windows", "-x"}, unknown + "-x\n"},
      {{"--dry"}, unknown + "--dry\n"},
      {{"-nh"}, unknown + "-nh\n"},
      {{"-j", "0", "/mnt/a/Windows"}, jobs + "0\n"},
      {{"--jobs=65", "/mnt/a/Windows"}, jobs + "65\n"},
      {{"-j4x", "/mnt/a/Windows"}, jobs + "4x\n"},
      {{"--jobs", "-1", "/mnt/a/Windows"}, jobs + "-1\n"},
      {{"--jobs=", "/mnt/a/Windows"}, jobs + "\n"},
      {{"/mnt/a/Windows", "-j"}, jobs + "\n"},
      {{"-j", "99999999999999999999", "/mnt/a/Windows"}, jobs + "99999999999999999999\n"},
      // A crafted option cannot add a line of its own.
      {{"--x\n修复完成！"}, unknown + "--x\\x0A修复完成！\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.arguments));
    const ToolRun run = RunTessaly(row.arguments);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, row.reason + UsageText());
    EXPECT_EQ(run.exitStatus, kInvalidArgument);
  }
}

// Every spelling of the thread count runs; the count changes nothing a run prints.
TEST(CommandLineTest, JobsAreGivenInAnySpelling) {
  TestImage image;
  image.Write();
  const std::string windows = image.WindowsDirectory().string();
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-j", "1", windows}, {"-j2", windows}, {"--jobs", "3", windows}, {"--jobs=64", "-n", windows}}) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ToolRun run = RunTessaly(arguments);
    EXPECT_EQ(run.output, Banner() + (arguments[1] == "-n" ? DryRunSummary(0) : NothingFoundSummary()));
    EXPECT_EQ(run.exitStatus, 0);
  }
}

// After "--" every argument is a folder, also one named like an option.
TEST(CommandLineTest, DoubleDashEndsTheOptions) {
  TestImage image;
  image.Write();
  fs::rename(image.WindowsDirectory(), image.Root() / "--help");
  const fs::path workingDirectory = fs::current_path();
  fs::current_path(image.Root());
  const ToolRun run = RunTessaly({"--", "--help"});
  const ToolRun dryRun = RunTessaly({"-n", "--", "--help"});
  fs::current_path(workingDirectory);

  EXPECT_EQ(run.output, Banner() + NothingFoundSummary());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(dryRun.output, Banner() + DryRunSummary(0));
  EXPECT_EQ(dryRun.exitStatus, 0);
}

}  // namespace
}  // namespace tessaly::offline_test
