// The dry run on real images: it lists exactly what the repair that follows
// it repairs, and writes nothing, not even where it may not write. And the
// paths both print: real Linux paths, with names as on the disk, that no
// file name can turn into a line of its own.

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "hive_contents.h"
#include "platform/offline/printable_path.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/utf8.h"
#include "tree_state.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr char kFileLinePrefix[] = "发现 ";
constexpr char kRepairedEnding[] = " 存在异常，执行修复成功！";
constexpr char kListedEnding[] = " 存在异常（试运行，未修改）";
constexpr uid_t kNobody = 65534;

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The file lines of a run, each with its ending taken off: the paths.
std::vector<std::string> PrintedPaths(const std::string& output, const std::string& ending) {
  std::vector<std::string> paths;
  for (const std::string& line : Lines(output)) {
    if (!line.starts_with(kFileLinePrefix)) continue;
    EXPECT_TRUE(line.ends_with(ending)) << line;
    paths.push_back(line.substr(std::strlen(kFileLinePrefix), line.size() - std::strlen(kFileLinePrefix) -
                                                                  ending.size()));
  }
  return paths;
}

void ExpectRegularFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << path;
}

// Components spelled in the hive otherwise than on the disk, in nested
// folders, with intact and wrong records: three wrong.
void AddComponents(TestImage& image) {
  image.AddComponent("Amd64_Dry.Run_First", {DwordValue("CF", 0x200), DwordValue("f!a.dll", 0x02),
                                             DwordValue("f!b.dll", 0x02),
                                             DwordValue(RecordName(u"Res\\C.mui"), 0x20)});
  image.AddFile(fs::path("amd64_dry.run_first") / "a.dll", "MZ\x90");
  image.AddFile(fs::path("amd64_dry.run_first") / "b.dll", "DCD");
  image.AddFile(fs::path("amd64_dry.run_first") / "Res" / "C.mui", "DCD");
  image.AddComponent("x86_dry.run_second", {DwordValue("CF", 0x200), DwordValue("f!d.dll", 0x22)});
  image.AddFile(fs::path("x86_dry.run_second") / "d.dll", "DCS");
}

const std::vector<std::string> kWrongFiles = {"amd64_dry.run_first/a.dll", "amd64_dry.run_first/Res/C.mui",
                                              "x86_dry.run_second/d.dll"};

TEST(DryRunTest, ListsExactlyWhatTheRepairThenRepairsAndWritesNothing) {
  TestImage image;
  AddComponents(image);
  image.Write();
  const auto before = TreeState(image.Root());
  const std::string hiveBefore = ReadFileBytes(image.HivePath());

  const ToolRun dryRun = RunTessaly({"--dry-run", image.WindowsDirectory().string()});

  std::string listed;
  for (const std::string& file : kWrongFiles) listed += ListedLine(image, file);
  EXPECT_EQ(dryRun.output, Banner() + listed + DryRunSummary(3));
  EXPECT_EQ(dryRun.exitStatus, 0);
  // Nothing created, changed or renamed, System32/config included.
  EXPECT_EQ(TreeState(image.Root()), before);

  const ToolRun repair = RunTessaly({image.WindowsDirectory().string()});

  std::string repaired;
  for (const std::string& file : kWrongFiles) repaired += RepairedLine(image, file);
  EXPECT_EQ(repair.output, Banner() + repaired + RepairedSummary());
  EXPECT_EQ(PrintedPaths(dryRun.output, kListedEnding), PrintedPaths(repair.output, kRepairedEnding));
  ExpectRegularFiles(PrintedPaths(repair.output, kRepairedEnding));
  EXPECT_EQ(ReadFileBytes(image.ConfigDirectory() / "COMPONENTS.tessaly-backup"), hiveBefore);

  // Once repaired, a dry run finds nothing.
  EXPECT_EQ(RunTessaly({"-n", image.WindowsDirectory().string()}).output, Banner() + DryRunSummary(0));
}

// Without write access a repair is refused; a dry run needs none.
TEST(DryRunTest, NeedsNoWriteAccess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  TestImage image;
  AddComponents(image);
  image.Write();
  fs::permissions(image.Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  const auto before = TreeState(image.Root());

  const ToolRun dryRun = RunTessaly({"-n", image.WindowsDirectory().string()}, ToolLimits{kNobody, std::nullopt});

  EXPECT_EQ(dryRun.output, Banner() + ListedLine(image, kWrongFiles[0]) + ListedLine(image, kWrongFiles[1]) +
                               ListedLine(image, kWrongFiles[2]) + DryRunSummary(3));
  EXPECT_EQ(dryRun.exitStatus, 0);
  EXPECT_EQ(TreeState(image.Root()), before);
}

// A read-only view of a folder, mounted for the life of the object.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(const fs::path& source) {
    std::string pattern = (fs::temp_directory_path() / "tessaly-ro-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    target_ = pattern;
    if (mount(source.c_str(), target_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error_ = errno;
      return;
    }
    mounted_ = true;
    if (mount(nullptr, target_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) error_ = errno;
  }
  ReadOnlyMount(const ReadOnlyMount&) = delete;
  ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;
  ~ReadOnlyMount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
    rmdir(target_.c_str());
  }

  // 0, or why the mount failed.
  int Error() const { return error_; }
  const fs::path& Path() const { return target_; }

 private:
  fs::path target_;
  bool mounted_ = false;
  int error_ = 0;
};

TEST(DryRunTest, WorksOnAReadOnlyMount) {
  TestImage image;
  AddComponents(image);
  image.Write();
  const ReadOnlyMount readOnly(image.Root());
  if (readOnly.Error() != 0) GTEST_SKIP() << "no read-only bind mount here: " << std::strerror(readOnly.Error());
  const fs::path windows = readOnly.Path() / "Windows";
  const auto before = TreeState(image.Root());

  const ToolRun dryRun = RunTessaly({"-n", windows.string()});

  std::string listed;
  for (const std::string& file : kWrongFiles) listed += "发现 " + (windows / "WinSxS" / file).string() + kListedEnding + "\n";
  EXPECT_EQ(dryRun.output, Banner() + listed + DryRunSummary(3));
  EXPECT_EQ(dryRun.exitStatus, 0);
  EXPECT_EQ(TreeState(image.Root()), before);
}

// The argument as given, through a link and with trailing slashes, then the
// names as on the disk: every printed path is one that exists.
TEST(DisplayPathTest, PrintedPathsStartWithTheArgumentAndExist) {
  TestImage image;
  AddComponents(image);
  image.Write();
  fs::rename(image.WinSxS(), image.WindowsDirectory() / "winsxs");
  const fs::path link = image.Root() / "windows-link";
  fs::create_symlink(image.WindowsDirectory(), link);

  const ToolRun run = RunTessaly({link.string() + "//"});

  std::string repaired;
  for (const std::string& file : kWrongFiles) {
    repaired += "发现 " + (link / "winsxs" / file).string() + kRepairedEnding + "\n";
  }
  EXPECT_EQ(run.output, Banner() + repaired + RepairedSummary());
  ExpectRegularFiles(PrintedPaths(run.output, kRepairedEnding));
}

// A crafted file name holding line feeds, and a Windows folder whose name
// holds a backslash, print escaped: no name adds a line, and the printed
// text maps back to the bytes (as bash's $'...' reads it).
TEST(DisplayPathTest, ControlCharactersAndBackslashesAreEscaped) {
  TestImage image("we\\ird/Windows");
  const std::string forged = "evil\n修复完成！请确认相关问题是否已经修复。\t.dll";
  image.AddComponent("component", {DwordValue("CF", 0x200), DwordValue(RecordName(image::Utf16FromUtf8(forged)), 0x02)});
  image.AddFile(fs::path("component") / forged, "XYZ");
  image.Write();

  const ToolRun run = RunTessaly({image.WindowsDirectory().string()});

  const std::string root = image.Root().string() + "/we\\\\ird/Windows";
  EXPECT_EQ(run.output, Banner() + "发现 " + root + "/WinSxS/component/evil\\x0A修复完成！请确认相关问题是否已经修复。\\x09.dll" +
                            kRepairedEnding + "\n" + RepairedSummary());
  EXPECT_EQ(Lines(run.output).size(), Lines(Banner()).size() + 2);
}

TEST(PrintablePathTest, EscapesWhatCouldForgeOutputAndKeepsTheRest) {
  const struct {
    std::string bytes;
    std::u16string printed;
  } rows[] = {
      {"/mnt/win/Windows/WinSxS/a.dll", u"/mnt/win/Windows/WinSxS/a.dll"},
      {"中文/ä/😀", u"中文/ä/😀"},
      {"a\nb\rc\td", u"a\\x0Ab\\x0Dc\\x09d"},
      {std::string("nul\0x", 5), u"nul\\x00x"},
      {"\x1B[31mred\x7F", u"\\x1B[31mred\\x7F"},
      {"c1\xC2\x85", u"c1\\xC2\\x85"},           // U+0085, next line
      {"a\\x0A", u"a\\\\x0A"},                   // a real backslash never reads as an escape
      {"bad\xFF\xFE", u"bad\\xFF\\xFE"},         // not UTF-8
      {"overlong\xC0\xAF", u"overlong\\xC0\\xAF"},
      {"surrogate\xED\xA0\x80", u"surrogate\\xED\\xA0\\x80"},
      {"cut\xE4\xB8", u"cut\\xE4\\xB8"},
      {"\xE4\xB8\xAD\xE4", u"中\\xE4"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(offline::PrintablePath(row.bytes), row.printed) << row.bytes;
  }
}

}  // namespace
}  // namespace tessaly::offline_test
