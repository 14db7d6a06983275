// The backup of a hive recovered from its logs: the logs are copied, never
// linked (Windows writes them in place), beside the backup and named after
// it, each keeping its own metadata. An earlier backup is kept as this
// save's backup only when it and its log copies hold what the files hold.

#include <sys/stat.h>
#include <sys/xattr.h>

#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/offline/save_hive.h"
#include "platform/posix/posix_image_files.h"
#include "tests/offline/test_image.h"
#include "tests/tools/temp_dir.h"

namespace tessaly::offline_test {
namespace {

constexpr char kAttributeName[] = "user.tessaly-test";
const std::string kBackupName = "COMPONENTS.tessaly-backup";

struct stat StatusOf(const fs::path& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) ADD_FAILURE() << "cannot stat " << file;
  return status;
}

std::string AttributeOf(const fs::path& file) {
  char value[64] = {};
  const ssize_t size = getxattr(file.c_str(), kAttributeName, value, sizeof(value));
  return size < 0 ? "" : std::string(value, static_cast<std::size_t>(size));
}

class LogBackupTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, mode] : {std::pair{"COMPONENTS", 0640}, std::pair{"COMPONENTS.LOG1", 0600},
                                     std::pair{"COMPONENTS.LOG2", 0604}}) {
      WriteFile(name, std::string("bytes of ") + name);
      fs::permissions(Path(name), static_cast<fs::perms>(mode));
      const std::string attribute = std::string("of ") + name;
      if (setxattr(Path(name).c_str(), kAttributeName, attribute.data(), attribute.size(), 0) != 0) {
        GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
      }
    }
  }

  fs::path Path(const std::string& name) const { return folder_.Path() / name; }
  void WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }

  offline::SaveOutcome Save() {
    posix::PosixImageFiles files(folder_.Path().string());
    offline::HiveFile hive;
    hive.directory = offline::UniqueDirectory(files);
    hive.file = offline::UniqueImageFile(files);
    EXPECT_TRUE(files.OpenWindowsDirectory(hive.directory.Put()).Ok());
    EXPECT_TRUE(
        files.OpenFile(hive.directory.Get(), u"COMPONENTS", offline::FileAccess::ReadForSave, hive.file.Put()).Ok());
    hive.fileName = u"COMPONENTS";
    hive.extent = fs::file_size(Path("COMPONENTS"));
    hive.logNames = {u"COMPONENTS.LOG1", u"COMPONENTS.LOG2"};
    return offline::ReplaceHiveFile(files, hive, [&files](offline::ImageFileHandle file) {
             const std::string repaired = "repaired hive";
             return files.Write(file, std::span(reinterpret_cast<const std::uint8_t*>(repaired.data()), repaired.size()));
           }).outcome;
  }

  image::TempDir folder_;
};

TEST_F(LogBackupTest, TheLogsAreCopiedBesideTheBackupWithTheirMetadata) {
  ASSERT_EQ(Save(), offline::SaveOutcome::Saved);

  EXPECT_EQ(FolderContents(folder_.Path()), (std::map<std::string, std::string>{
                                                {"COMPONENTS", "repaired hive"},
                                                {"COMPONENTS.LOG1", "bytes of COMPONENTS.LOG1"},
                                                {"COMPONENTS.LOG2", "bytes of COMPONENTS.LOG2"},
                                                {kBackupName, "bytes of COMPONENTS"},
                                                {kBackupName + ".LOG1", "bytes of COMPONENTS.LOG1"},
                                                {kBackupName + ".LOG2", "bytes of COMPONENTS.LOG2"},
                                            }));
  for (const auto& [name, mode, attribute] :
       {std::tuple{"COMPONENTS", 0640u, "of COMPONENTS"}, std::tuple{"COMPONENTS.tessaly-backup", 0640u, "of COMPONENTS"},
        std::tuple{"COMPONENTS.tessaly-backup.LOG1", 0600u, "of COMPONENTS.LOG1"},
        std::tuple{"COMPONENTS.tessaly-backup.LOG2", 0604u, "of COMPONENTS.LOG2"}}) {
    EXPECT_EQ(StatusOf(Path(name)).st_mode & 07777, mode) << name;
    EXPECT_EQ(AttributeOf(Path(name)), attribute) << name;
  }
  for (const std::string log : {".LOG1", ".LOG2"}) {
    EXPECT_NE(StatusOf(Path(kBackupName + log)).st_ino, StatusOf(Path("COMPONENTS" + log)).st_ino) << "a link";
  }
}

// An earlier save stopped after the backup and one log copy: this one
// keeps both and adds the missing copy.
TEST_F(LogBackupTest, ABackupThatHoldsTheFilesIsCompletedNotDuplicated) {
  WriteFile(kBackupName, "bytes of COMPONENTS");
  WriteFile(kBackupName + ".LOG1", "bytes of COMPONENTS.LOG1");

  ASSERT_EQ(Save(), offline::SaveOutcome::Saved);

  const auto folder = FolderContents(folder_.Path());
  EXPECT_EQ(folder.size(), 6u);
  EXPECT_EQ(folder.at(kBackupName + ".LOG2"), "bytes of COMPONENTS.LOG2");
}

TEST_F(LogBackupTest, ABackupWhoseLogCopyDiffersIsLeftForANewOne) {
  WriteFile(kBackupName, "bytes of COMPONENTS");
  WriteFile(kBackupName + ".LOG1", "another log");

  ASSERT_EQ(Save(), offline::SaveOutcome::Saved);

  std::map<std::string, std::string> newBackup;
  for (const auto& [name, bytes] : FolderContents(folder_.Path())) {
    const std::size_t log = name.find(".LOG");
    if (name.starts_with(kBackupName + "-")) newBackup[log == std::string::npos ? "" : name.substr(log)] = bytes;
  }
  EXPECT_EQ(newBackup, (std::map<std::string, std::string>{{"", "bytes of COMPONENTS"},
                                                           {".LOG1", "bytes of COMPONENTS.LOG1"},
                                                           {".LOG2", "bytes of COMPONENTS.LOG2"}}));
  EXPECT_EQ(ReadFileBytes(Path(kBackupName)), "bytes of COMPONENTS");
  EXPECT_EQ(ReadFileBytes(Path(kBackupName + ".LOG1")), "another log");
  EXPECT_FALSE(fs::exists(Path(kBackupName + ".LOG2")));
}

}  // namespace
}  // namespace tessaly::offline_test
