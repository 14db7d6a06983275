// The read-ahead changes nothing a run does: the same image repaired or
// listed without worker threads and with eight gives the same output, exit
// status and saved hive, byte for byte, on a large store with everything
// that makes a walk fail or skip part of it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "test_image.h"
#include "tool_run.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using image::DwordValue;

constexpr int kComponents = 2000;
constexpr uid_t kNobody = 65534;
constexpr char kVanishing[] = "vanishing.dll";

std::string ComponentName(const std::string& part) {
  return "amd64_microsoft-windows-" + part + "_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
}

image::HiveValue Claim(const std::string& pathInComponent, std::uint32_t record) {
  return DwordValue(RecordName(image::Utf16FromUtf8(pathInComponent)), record);
}

// Adds a walked component with one file, wrong for its claim, at each path.
void AddWrongFiles(TestImage& image, const std::string& component, const std::vector<std::string>& paths) {
  std::vector<image::HiveValue> values = {DwordValue("CF", 0x200)};
  for (const std::string& path : paths) {
    values.push_back(Claim(path, 0x02));
    std::string below = path;
    std::replace(below.begin(), below.end(), '\\', '/');
    image.AddFile(fs::path(component) / below, "XYZ");
  }
  image.AddComponent(component, values);
}

// Thousands of small components, most walked, some not; one deeper than
// the read-ahead goes; links to a file and as a component directory; an
// unreadable folder and an unreadable component; a component named in
// other letter case than on the disk; a file deleted as it is opened; and a
// value so large that the hive is read in parts.
void WriteStore(TestImage& image) {
  for (int i = 0; i < kComponents; ++i) {
    const std::string name = ComponentName("c" + std::to_string(i));
    const bool walked = i % 10 != 9;
    image.AddComponent(name, {DwordValue("CF", walked ? 0x200 : 0x100), Claim("a.dll", 0x02), Claim("sub\\c.dll", 0x20)});
    image.AddFile(fs::path(name) / "a.dll", i % 3 == 0 ? "XYZ" : "DCD");
    image.AddFile(fs::path(name) / "sub" / "c.dll", i % 7 == 0 ? "XYZ" : "DCS");
  }
  std::string deep;
  for (int level = 0; level < 40; ++level) deep += "level" + std::to_string(level) + "\\";
  AddWrongFiles(image, ComponentName("deep"), {"top.dll", deep + "bottom.dll"});

  AddWrongFiles(image, ComponentName("links"), {"target.dll", "linked.dll"});
  fs::remove(image.WinSxS() / ComponentName("links") / "linked.dll");
  fs::create_symlink("target.dll", image.WinSxS() / ComponentName("links") / "linked.dll");
  AddWrongFiles(image, ComponentName("linked-component"), {"target.dll"});
  fs::remove_all(image.WinSxS() / ComponentName("linked-component"));
  fs::create_directory_symlink(ComponentName("links"), image.WinSxS() / ComponentName("linked-component"));

  AddWrongFiles(image, ComponentName("locked"), {"open.dll", "locked\\hidden.dll", "zz\\after.dll"});
  AddWrongFiles(image, ComponentName("locked-component"), {"hidden.dll"});

  AddWrongFiles(image, ComponentName("case"), {"a.dll"});
  fs::rename(image.WinSxS() / ComponentName("case"), image.WinSxS() / ComponentName("CASE"));

  AddWrongFiles(image, ComponentName("vanishing"), {"before.dll", kVanishing, "z-after.dll"});

  // A hive large enough to be read in parts, one per job.
  std::vector<std::uint8_t> padding(std::size_t{10} << 20);
  for (std::size_t i = 0; i < padding.size(); ++i) padding[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
  image.AddComponent(ComponentName("padded"), {DwordValue("CF", 0x100), image::BinaryValue("padding", padding)});
  image.Write();
}

class ReadAheadRunTest : public testing::Test {
 protected:
  struct Result {
    ToolRun run;
    std::string hive;
  };

  void SetUp() override {
    WriteStore(image_);
    fs::copy(image_.ConfigDirectory(), pristineConfig_);
    fs::permissions(image_.Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    SetLocked(true);
  }

  void TearDown() override { SetLocked(false); }

  // The unreadable folders: to root every folder is readable, so the tool
  // then runs as nobody, who owns the image.
  void SetLocked(bool locked) {
    const fs::perms access = locked ? fs::perms::none : fs::perms::owner_all;
    fs::permissions(image_.WinSxS() / ComponentName("locked") / "locked", access);
    fs::permissions(image_.WinSxS() / ComponentName("locked-component"), access);
  }

  // Each run starts from the image as written: the hive a repair rewrote
  // and the file that vanished are put back.
  Result Run(std::vector<std::string> arguments, const std::string& jobs) {
    fs::remove_all(image_.ConfigDirectory());
    fs::copy(pristineConfig_, image_.ConfigDirectory());
    const fs::path vanishing = image_.WinSxS() / ComponentName("vanishing") / kVanishing;
    std::ofstream(vanishing) << "XYZ";
    std::optional<uid_t> user;
    if (geteuid() == 0) {
      user = kNobody;
      for (const auto& entry : fs::recursive_directory_iterator(image_.Root())) {
        EXPECT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0);
      }
    }
    arguments.insert(arguments.begin(), {"-j", jobs});
    arguments.push_back(image_.WindowsDirectory().string());
    Result result{RunTessalyWithFaults(arguments, std::string("openat@") + kVanishing + "=remove", {user}), ""};
    result.hive = ReadFileBytes(image_.HivePath());
    EXPECT_FALSE(fs::exists(vanishing));
    return result;
  }

  TestImage image_;
  fs::path pristineConfig_ = image_.Root() / "pristine-config";
};

TEST_F(ReadAheadRunTest, EightThreadsDoExactlyWhatNoThreadsDo) {
  for (const bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "repair run");
    const std::vector<std::string> arguments = dryRun ? std::vector<std::string>{"-n"} : std::vector<std::string>{};
    const Result sequential = Run(arguments, "1");
    const Result readAhead = Run(arguments, "8");

    // What the store holds to be found, so that a run that found nothing fails.
    const std::string found = dryRun ? ListedLine(image_, ComponentName("deep") + "/top.dll")
                                     : RepairedLine(image_, ComponentName("deep") + "/top.dll");
    EXPECT_NE(sequential.run.output.find(found), std::string::npos) << sequential.run.output;
    EXPECT_EQ(sequential.run.errors, "");
    EXPECT_EQ(sequential.run.exitStatus, 0);

    EXPECT_EQ(readAhead.run.output, sequential.run.output);
    EXPECT_EQ(readAhead.run.errors, sequential.run.errors);
    EXPECT_EQ(readAhead.run.exitStatus, sequential.run.exitStatus);
    EXPECT_TRUE(readAhead.hive == sequential.hive);
  }
}

}  // namespace
}  // namespace tessaly::offline_test
