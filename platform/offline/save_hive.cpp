#include "platform/offline/save_hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/offline/create_new_file.h"

namespace tessaly::offline {
namespace {

constexpr std::size_t kCopyChunk = 1 << 16;
// Files are created for the owner alone and given the original's mode once written.
constexpr mode_t kPrivateMode = 0600;

// Some file systems cannot sync a directory and say so with EINVAL; there is
// nothing more to be done on them.
int SyncDirectory(int directory) {
  if (fsync(directory) != 0 && errno != EINVAL) return errno;
  return 0;
}

int WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int CopyContents(int source, int destination) {
  std::vector<std::uint8_t> buffer(kCopyChunk);
  for (off_t offset = 0;;) {
    const ssize_t got = pread(source, buffer.data(), buffer.size(), offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    if (const int error = WriteAll(destination, buffer.data(), static_cast<std::size_t>(got)); error != 0) {
      return error;
    }
    offset += got;
  }
}

// Gives a written file the original's permissions, makes it durable and
// closes it. File systems without Unix permissions refuse the change of
// mode; the file then has the permissions they give it.
int FinishWritten(UniqueFd* file, mode_t mode) {
  fchmod(file->Get(), mode);
  if (fsync(file->Get()) != 0) return errno;
  return close(file->Release()) != 0 ? errno : 0;
}

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

constexpr int kMaxBackupNames = 1000;

// File systems without hard links (FAT, some network shares) refuse them with these.
bool LinksUnsupported(int error) { return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK; }

int CopyToBackup(int directory, const std::string& backupName, int originalFile, mode_t mode) {
  UniqueFd backup;
  int error = CreateFileExclusively(directory, backupName, kPrivateMode, &backup);
  if (error != 0) return error;
  error = CopyContents(originalFile, backup.Get());
  if (error == 0) error = FinishWritten(&backup, mode);
  if (error != 0) unlinkat(directory, backupName.c_str(), 0);
  return error;
}

// Keeps the original file under a backup name that no earlier backup has.
// The original is never written in place (the new hive is renamed over its
// name), so a second link to it is a complete backup that costs no copy;
// file systems without hard links get a copy of the bytes.
int WriteBackup(int directory, const std::string& fileName, int originalFile, mode_t mode, std::string* backupName) {
  const std::string timestamp = Timestamp();
  bool linking = true;
  for (int attempt = 0; attempt < kMaxBackupNames;) {
    *backupName = fileName + ".tessaly-backup";
    if (attempt > 0) *backupName += "-" + timestamp;
    if (attempt > 1) *backupName += "-" + std::to_string(attempt);
    int error = 0;
    if (linking) {
      error = linkat(directory, fileName.c_str(), directory, backupName->c_str(), 0) == 0 ? 0 : errno;
      if (LinksUnsupported(error)) {
        linking = false;
        continue;
      }
    } else {
      error = CopyToBackup(directory, *backupName, originalFile, mode);
    }
    if (error == EEXIST) {
      ++attempt;
      continue;
    }
    if (error == 0) error = SyncDirectory(directory);
    if (error != 0) unlinkat(directory, backupName->c_str(), 0);
    return error;
  }
  return EEXIST;
}

int WriteReplacement(const Hive& hive, int directory, const std::string& fileName, mode_t mode,
                     std::string* replacementName) {
  UniqueFd replacement;
  int error = CreateNewFile(directory, fileName + ".tessaly-new", kPrivateMode, &replacement, replacementName);
  if (error != 0) return error;
  error = hive.WriteTo(replacement.Get());
  if (error == 0) error = FinishWritten(&replacement, mode);
  if (error != 0) unlinkat(directory, replacementName->c_str(), 0);
  return error;
}

}  // namespace

int SaveHive(const Hive& hive, const HiveFileOnDisk& hiveFile) {
  const int directory = hiveFile.directory;
  const std::string& fileName = hiveFile.fileName;
  const int originalFile = hiveFile.file;
  struct stat original {};
  if (fstat(originalFile, &original) != 0) return errno;
  const mode_t mode = original.st_mode & 07777;

  std::string backupName;
  if (const int error = WriteBackup(directory, fileName, originalFile, mode, &backupName); error != 0) return error;

  std::string replacementName;
  int error = WriteReplacement(hive, directory, fileName, mode, &replacementName);
  if (error == 0 && renameat(directory, replacementName.c_str(), directory, fileName.c_str()) != 0) {
    error = errno;
    unlinkat(directory, replacementName.c_str(), 0);
  }
  if (error != 0) {
    // Nothing was changed, so the copy of the unchanged file is not kept.
    unlinkat(directory, backupName.c_str(), 0);
    return error;
  }
  // The new hive is in place; a failure to sync the directory now cannot
  // undo that, and the backup is already durable.
  SyncDirectory(directory);
  return 0;
}

}  // namespace tessaly::offline
