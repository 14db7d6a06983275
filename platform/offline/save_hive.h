// Writing a changed hive back to the image so that nothing is ever lost:
// the original stays, as a backup, until the new hive is complete, flushed
// and carries everything that made the original file what it was.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/offline/hive_file.h"
#include "platform/offline/image_files.h"

namespace tessaly::offline {

enum class SaveOutcome {
  Saved,
  // The rename of the new hive over the original reported failure, yet the
  // hive's name holds the new hive: the repair is in place, and the backup
  // of the original kept.
  SavedDespiteError,
  // status says why; the original is in place and nothing of this attempt is left.
  NotSaved,
  // The new file could not be given everything that made the original what
  // it is (on NTFS: its security descriptor, attributes and creation time).
  // The original was not replaced.
  MetadataNotKept,
  // The hive's name no longer holds the file the run loaded: another
  // program put a file there. It was left as it is.
  HiveReplacedMeanwhile,
  // The rename reported failure, and the hive's name now holds neither: the
  // backup of the original and the new hive under its temporary name are
  // both kept.
  HiveNameLost,
};

struct SaveResult {
  SaveOutcome outcome = SaveOutcome::Saved;
  FileStatus status;
};

// The new hive, written while the run goes on changing the hive, on a
// thread of its own, under the hive's temporary name beside it: the base
// block its save gives it, then the bins as they are when each part is
// copied. Its save writes again only the data the run changed, so that a
// repair does not wait for the whole hive to be written after its walk.
class HiveWriteAhead {
 public:
  // Starts the thread (std::system_error when it cannot). original must
  // outlive this, and its hive change only under LockImage.
  HiveWriteAhead(ImageFiles& files, HiveFile& original);
  HiveWriteAhead(const HiveWriteAhead&) = delete;
  HiveWriteAhead& operator=(const HiveWriteAhead&) = delete;
  // Waits for the thread; a file the save did not take is removed.
  ~HiveWriteAhead();

  // Held while the hive changes, so that no part is copied half changed.
  std::unique_lock<std::mutex> LockImage() { return std::unique_lock(imageLock_); }

  // Waits for the thread. On success the file, still open, is the caller's:
  // *file and *name.
  FileStatus Finish(UniqueImageFile* file, std::u16string* name);

 private:
  void Write();
  void RemoveFile();

  ImageFiles& files_;
  DirectoryHandle directory_;
  std::u16string fileName_;
  std::array<std::uint8_t, hive::kBaseBlockSize> baseBlock_;
  std::span<const std::uint8_t> bins_;
  std::mutex imageLock_;
  // Written by the thread until it ends.
  FileStatus status_;
  UniqueImageFile file_;
  std::u16string name_;
  FileIdentity identity_;
  std::thread thread_;
};

// Replaces the hive file by the hive as changed in memory:
//  1. the original is kept as "<fileName>.tessaly-backup" beside it (a
//     second hard link, or a copy of its extent where the file system has
//     no hard links). An earlier backup that holds the original already is
//     kept as it is; one that holds something else stays, and this backup
//     gets a name with the time added. Logs the hive was recovered from
//     are copied beside the backup, named after it ("...-backup.LOG1").
//  2. the new hive is written to "<fileName>.tessaly-new", given the
//     original's metadata (read back to check) and flushed;
//  3. the original is let go, its name checked to still hold it, and the
//     new hive renamed over it, the directory flushed.
// Copies are written under the temporary name too, and renamed once
// complete, so a backup name only ever holds a whole copy.
SaveResult SaveHive(ImageFiles& files, HiveFile& original);
// SaveHive with the new hive written ahead: only the data changed since is written again.
SaveResult SaveHive(ImageFiles& files, HiveFile& original, HiveWriteAhead& writtenAhead);

// SaveHive with the new hive's bytes written by writeContents(file).
SaveResult ReplaceHiveFile(ImageFiles& files, HiveFile& original,
                           const std::function<FileStatus(ImageFileHandle file)>& writeContents);

// Removes what an interrupted save left beside the hive fileName: its
// temporary files, never a backup. *removed: how many. Returns the status
// of the first removal that failed.
FileStatus RemoveSaveLeftovers(ImageFiles& files, DirectoryHandle directory, const std::u16string& fileName,
                               int* removed);

}  // namespace tessaly::offline
