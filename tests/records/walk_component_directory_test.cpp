#include "records/walk_component_directory.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_platform.h"
#include "fakes/working_system.h"
#include "records/make_file_record_name.h"
#include "servicing/native_path_hash.h"

namespace tessaly {
namespace {

using namespace fakes;

constexpr char16_t kDirectory[] = u"\\\\?\\C:\\Windows\\winsxs\\x86_comp\\";

// One component: its open key and its directory.
class Component {
 public:
  Component() : key_(fakes.registry.LocalMachine().Subkey(u"x86_comp")) {
    fakes.files.AddDirectory(kDirectory);
    EXPECT_EQ(fakes.registry.OpenKeyEx(kLocalMachine, u"x86_comp", kRegOptionBackupRestore, kKeyReadWrite, &handle_),
              Win32Status::Success);
  }
  ~Component() {
    if (handle_ != KeyHandle::None) fakes.registry.CloseKey(handle_);
  }

  // Closes the key this test opened, then checks the walk left nothing else open.
  void ExpectWalkReleasedEverything() {
    fakes.registry.CloseKey(std::exchange(handle_, KeyHandle::None));
    ExpectEverythingReleased(fakes);
  }

  FakeKey& Key() { return key_; }

  // Adds the file and, unless record is null, its REG_DWORD record under recordName.
  std::u16string AddFile(std::u16string_view relativePath, std::string_view content, std::u16string_view recordName,
                         std::uint32_t record) {
    const std::u16string path = kDirectory + std::u16string(relativePath);
    fakes.files.AddFile(path, content);
    key_.SetDword(recordName, record);
    return path;
  }

  RepairOutcome Walk(std::u16string_view directory = kDirectory, RepairMode mode = RepairMode::Repair) {
    return WalkComponentDirectory(fakes.console, fakes.registry, fakes.files, NativeServicingHash(), handle_,
                                  std::u16string_view(kDirectory).size(), std::u16string(directory), mode,
                                  &wrongRecords);
  }
  RepairOutcome DryRun() { return Walk(kDirectory, RepairMode::DryRun); }

  FakePlatform fakes;
  std::uint32_t wrongRecords = 0;

 private:
  FakeKey& key_;
  KeyHandle handle_ = KeyHandle::None;
};

// Names of records in subdirectories carry a hash; MakeFileRecordName has its own tests.
std::u16string RecordName(std::u16string_view relativePath) {
  return MakeFileRecordName(kDirectory + std::u16string(relativePath), std::u16string_view(kDirectory).size(),
                            NativeServicingHash());
}

std::u16string Repaired(std::u16string_view path) {
  return u"发现 " + std::u16string(path) + u" 存在异常，执行修复成功！\n";
}

std::u16string Listed(std::u16string_view path) {
  return u"发现 " + std::u16string(path) + u" 存在异常（试运行，未修改）\n";
}

TEST(WalkComponentDirectoryTest, StoredFormClaims) {
  const struct {
    std::uint32_t record;
    std::string content;
    std::uint32_t after;
  } rows[] = {
      {0x02, "DCD", 0x02},
      {0x02, "DCD and more", 0x02},
      {0x02, "DCS", 0x00},
      {0x02, std::string("MZ\x90\x00", 4), 0x00},
      {0x02, "dcd", 0x00},
      {0x02, "DCX", 0x00},
      {0x02, "XCD", 0x00},
      {0x02, "DXD", 0x00},
      {0x20, "DCS", 0x20},
      {0x20, "DCD", 0x00},
      {0x20, "dcs", 0x00},
      {0x22, "DCS", 0x20},
      {0x22, "DCD", 0x22},
      {0x22, "abc", 0x20},
      {0x0122, "MZ\x90", 0x0120},
      {0x8020, "abc", 0x8000},
      {0xFFFFFFFF, "DCD", 0xFFFFFFFF},
      {0xFFFFFFFF, "abc", 0xFFFFFFFD},
      {0xFFFFFFDD, "abc", 0xFFFFFFDD},  // every bit but the two claims
      {0x01, "abc", 0x01},
      {0x00, "abc", 0x00},
      {0x02, "DC", 0x02},
      {0x02, "", 0x02},
      {0x20, "D", 0x20},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "record 0x" << std::hex << row.record << " on \"" << row.content << "\"");
    Component component;
    const std::u16string path = component.AddFile(u"a.dll", row.content, u"f!a.dll", row.record);

    const RepairOutcome outcome = component.Walk();

    EXPECT_EQ(component.Key().Dword(u"f!a.dll"), row.after);
    const bool rewritten = row.after != row.record;
    EXPECT_EQ(outcome, rewritten ? kRecordRewritten : 0u);
    EXPECT_EQ(component.fakes.console.output, rewritten ? Repaired(path) : u"");
    EXPECT_EQ(component.wrongRecords, rewritten ? 1u : 0u);
    EXPECT_EQ(component.fakes.registry.sets.size(), rewritten ? 1u : 0u);
    // Without a claim the file is not even opened.
    EXPECT_EQ(component.fakes.files.openedFiles.size(), (row.record & 0x22) != 0 ? 1u : 0u);
    if (rewritten) {
      const auto& set = component.fakes.registry.sets[0];
      EXPECT_EQ(set.valueName, u"f!a.dll");
      EXPECT_EQ(set.type, kRegDword);
      EXPECT_EQ(set.data, DwordBytes(row.after));
    }
    component.ExpectWalkReleasedEverything();
  }
}

// A dry run finds the same records wrong, lists them and changes none.
TEST(WalkComponentDirectoryTest, DryRunListsWithoutWriting) {
  const struct {
    std::uint32_t record;
    std::string content;
    bool wrong;
  } rows[] = {
      {0x02, "DCD", false}, {0x02, "DCS", true},  {0x20, "DCS", false}, {0x20, "DCD", true},
      {0x22, "DCS", true},  {0x22, "DCD", false}, {0x0122, "MZ\x90", true}, {0x02, "DC", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "record 0x" << std::hex << row.record << " on \"" << row.content << "\"");
    Component component;
    const std::u16string path = component.AddFile(u"a.dll", row.content, u"f!a.dll", row.record);

    EXPECT_EQ(component.DryRun(), 0u);

    EXPECT_EQ(component.Key().Dword(u"f!a.dll"), row.record);
    EXPECT_TRUE(component.fakes.registry.sets.empty());
    EXPECT_EQ(component.fakes.console.output, row.wrong ? Listed(path) : u"");
    EXPECT_EQ(component.wrongRecords, row.wrong ? 1u : 0u);
    component.ExpectWalkReleasedEverything();
  }
}

// Messages name files the way the file seam displays them, never by the
// path the engine built for it.
TEST(WalkComponentDirectoryTest, MessagesNameFilesByTheirDisplayPath) {
  Component component;
  const std::u16string repaired = component.AddFile(u"a.dll", "abc", u"f!a.dll", 0x02);
  const std::u16string denied = component.AddFile(u"sub\b.dll", "abc", RecordName(u"sub\b.dll"), 0x20);
  component.fakes.registry.FailSetValue(RecordName(u"sub\b.dll"), Win32Status::AccessDenied);
  component.fakes.files.displayPaths = {{repaired, u"/mnt/win/Windows/WinSxS/x86_comp/a.dll"},
                                        {denied, u"/mnt/win/Windows/WinSxS/x86_comp/sub/b.dll"}};

  component.Walk();
  component.DryRun();

  EXPECT_EQ(component.fakes.console.output,
            Repaired(u"/mnt/win/Windows/WinSxS/x86_comp/a.dll") +
                u"发现 /mnt/win/Windows/WinSxS/x86_comp/sub/b.dll 存在异常，但执行修复失败，hr=0x00000005！\n" +
                Listed(u"/mnt/win/Windows/WinSxS/x86_comp/sub/b.dll"));
}

TEST(WalkComponentDirectoryTest, OnlyDwordRecordsAreExamined) {
  Component component;
  component.fakes.files.AddFile(kDirectory + std::u16string(u"binary.dll"), "abc");
  component.Key().SetValue(u"f!binary.dll", kRegBinary, {0x02, 0x00, 0x00, 0x00});
  component.fakes.files.AddFile(kDirectory + std::u16string(u"unrecorded.dll"), "abc");
  component.AddFile(u"other.dll", "abc", u"f!other.dl", 0x02);

  EXPECT_EQ(component.Walk(), 0u);
  EXPECT_EQ(component.fakes.console.output, u"");
  EXPECT_TRUE(component.fakes.files.openedFiles.empty());
  EXPECT_TRUE(component.fakes.registry.sets.empty());
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, FailedRewritePrintsTheRegistryStatusAsItIs) {
  const struct {
    Win32Status status;
    std::u16string_view printed;
  } rows[] = {
      {Win32Status::AccessDenied, u"0x00000005"},
      {Win32Status::RegistryIoFailed, u"0x000003F8"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.status));
    Component component;
    const std::u16string path = component.AddFile(u"a.dll", "abc", u"f!a.dll", 0x22);
    component.fakes.registry.FailSetValue(u"f!a.dll", row.status);

    EXPECT_EQ(component.Walk(), kRewriteFailed);
    EXPECT_EQ(component.fakes.console.output,
              u"发现 " + path + u" 存在异常，但执行修复失败，hr=" + std::u16string(row.printed) + u"！\n");
    EXPECT_EQ(component.Key().Dword(u"f!a.dll"), 0x22u);
    component.ExpectWalkReleasedEverything();
  }
}

TEST(WalkComponentDirectoryTest, FileStaysOpenWhileItsRecordIsRewritten) {
  Component component;
  const std::u16string path = component.AddFile(u"a.dll", "abc", u"f!a.dll", 0x02);

  component.Walk();

  const std::vector<std::string> expected = {"open file " + Utf8(path), "set f!a.dll", "close file " + Utf8(path)};
  EXPECT_EQ(component.fakes.events.Filtered({"open file", "set", "close file"}), expected);
}

TEST(WalkComponentDirectoryTest, OutcomesOfFilesCombine) {
  Component component;
  component.AddFile(u"a.dll", "abc", u"f!a.dll", 0x02);
  component.AddFile(u"b.dll", "abc", u"f!b.dll", 0x02);
  component.AddFile(u"c.dll", "abc", u"f!c.dll", 0x20);
  component.fakes.registry.FailSetValue(u"f!b.dll", Win32Status::AccessDenied);

  EXPECT_EQ(component.Walk(), kRecordRewritten | kRewriteFailed);
  EXPECT_EQ(component.Key().Dword(u"f!c.dll"), 0u);
  // Every wrong record counts, the one that could not be rewritten too.
  EXPECT_EQ(component.wrongRecords, 3u);
}

TEST(WalkComponentDirectoryTest, FilesThatDoNotOpenArePassedOver) {
  Component component;
  const std::u16string path = component.AddFile(u"busy.dll", "abc", u"f!busy.dll", 0x02);
  component.fakes.files.FailOpen(path);

  EXPECT_EQ(component.Walk(), 0u);
  EXPECT_EQ(component.Key().Dword(u"f!busy.dll"), 0x02u);
  EXPECT_EQ(component.fakes.console.output, u"");
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, ReparsePointsAreNeitherFollowedNorExamined) {
  Component component;
  FakeFileSystem& files = component.fakes.files;
  files.AddDirectory(kDirectory + std::u16string(u"junction"), kFileAttributeDirectory | kFileAttributeReparsePoint);
  component.AddFile(u"junction\\inside.dll", "abc", RecordName(u"junction\\inside.dll"), 0x02);
  files.AddFile(kDirectory + std::u16string(u"link.dll"), "abc", kFileAttributeReparsePoint);
  component.Key().SetDword(u"f!link.dll", 0x02);

  EXPECT_EQ(component.Walk(), 0u);
  EXPECT_EQ(files.listedDirectories, std::vector<std::u16string>{kDirectory + std::u16string(u"*")});
  EXPECT_TRUE(files.openedFiles.empty());
  EXPECT_EQ(component.Key().Dword(u"f!link.dll"), 0x02u);
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, FilesInSubdirectoriesAreNamedFromTheComponentDirectory) {
  Component component;
  const std::u16string res = component.AddFile(u"res\\file.dll", "abc", u"f!res_file.dll_b8f59fef0be0ba8e", 0x02);
  const std::u16string deep = component.AddFile(u"a\\b\\c.dll", "abc", RecordName(u"a\\b\\c.dll"), 0x20);

  EXPECT_EQ(component.Walk(), kRecordRewritten);
  EXPECT_EQ(component.fakes.console.output, Repaired(res) + Repaired(deep));
  EXPECT_EQ(component.Key().Dword(u"f!res_file.dll_b8f59fef0be0ba8e"), 0u);
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, WalksDepthFirstWithOneFileOpenAtATime) {
  Component component;
  // Intact records, so that every file is opened and read but none is changed.
  component.AddFile(u"a.dll", "DCD", u"f!a.dll", 0x02);
  component.AddFile(u"sub\\b.dll", "DCD", RecordName(u"sub\\b.dll"), 0x02);
  component.AddFile(u"sub\\deeper\\c.dll", "DCD", RecordName(u"sub\\deeper\\c.dll"), 0x02);
  component.AddFile(u"z.dll", "DCS", u"f!z.dll", 0x20);
  component.fakes.files.AddDirectory(kDirectory + std::u16string(u"empty"));

  EXPECT_EQ(component.Walk(), 0u);

  const std::string top = Utf8(kDirectory);
  const std::vector<std::string> expected = {
      "find first " + top + "*",
      "open file " + top + "a.dll",
      "close file " + top + "a.dll",
      "find first " + top + "sub\\*",
      "open file " + top + "sub\\b.dll",
      "close file " + top + "sub\\b.dll",
      "find first " + top + "sub\\deeper\\*",
      "open file " + top + "sub\\deeper\\c.dll",
      "close file " + top + "sub\\deeper\\c.dll",
      "find close " + top + "sub\\deeper\\",
      "find close " + top + "sub\\",
      "open file " + top + "z.dll",
      "close file " + top + "z.dll",
      "find first " + top + "empty\\*",
      "find close " + top + "empty\\",
      "find close " + top,
  };
  EXPECT_EQ(component.fakes.events.Filtered({"find first", "find close", "open file", "close file"}), expected);
  EXPECT_EQ(component.fakes.files.mostSearchesOpenAtOnce, 3u);
  EXPECT_EQ(component.fakes.files.fetchesWithFileOpen, 0);
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, DirectoryThatCannotBeListedContributesNothing) {
  Component component;
  EXPECT_EQ(component.Walk(kDirectory + std::u16string(u"missing\\")), 0u);
  component.ExpectWalkReleasedEverything();
}

TEST(WalkComponentDirectoryTest, DeeplyNestedDirectories) {
  constexpr int kDepth = 5000;
  Component component;
  component.fakes.events.enabled = false;
  FakeFileSystem& files = component.fakes.files;
  FakeFileSystem::NodeId directory = files.AddDirectory(kDirectory);
  std::u16string path = kDirectory;
  for (int level = 0; level < kDepth; ++level) {
    directory = files.AddChildDirectory(directory, u"d");
    path += u"d\\";
  }
  path += u"bottom.dll";
  files.AddFile(path, "abc");
  const std::u16string recordName = RecordName(path.substr(std::u16string_view(kDirectory).size()));
  component.Key().SetDword(recordName, 0x02);

  EXPECT_EQ(component.Walk(), kRecordRewritten);
  EXPECT_EQ(component.Key().Dword(recordName), 0u);
  EXPECT_EQ(files.mostSearchesOpenAtOnce, kDepth + 1u);
  component.ExpectWalkReleasedEverything();
}

TEST(IsDotEntryTest, OnlyDotAndDotDot) {
  EXPECT_TRUE(IsDotEntry(u"."));
  EXPECT_TRUE(IsDotEntry(u".."));
  for (const std::u16string_view name : {u"", u"...", u".a", u"a.", u"..a", u". ", u".. ", u"x"}) {
    EXPECT_FALSE(IsDotEntry(name)) << Utf8(name);
  }
}

}  // namespace
}  // namespace tessaly
