#include "platform/offline/save_hive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>

#include "common/utf_conversion.h"
#include "platform/posix/create_new_file.h"
#include "platform/posix/directory_listing.h"
#include "platform/posix/file_metadata.h"
#include "platform/posix/full_io.h"
#include "hive/hive.h"
#include "platform/offline/image_tree.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::offline {
namespace {

constexpr std::size_t kWritebackChunk = std::size_t{8} << 20;

// Writes the hive file as changed into fd. The caller flushes the file;
// starting each chunk's writeback as soon as it is written lets the disk
// work while the rest is copied. Where the file system cannot start it
// early, the flush does all of it.
int WriteHive(int fd, const Hive& hive) {
  const std::array<std::uint8_t, kBaseBlockSize> baseBlock = hive.SavedBaseBlock();
  if (const int error = WriteFully(fd, baseBlock.data(), baseBlock.size()); error != 0) return error;
  const std::span<const std::uint8_t> bins = hive.Bins();
  for (std::size_t offset = 0; offset < bins.size(); offset += kWritebackChunk) {
    const std::size_t size = std::min(kWritebackChunk, bins.size() - offset);
    if (const int error = WriteFully(fd, bins.data() + offset, size); error != 0) return error;
    sync_file_range(fd, static_cast<off_t>(kBaseBlockSize + offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
  }
  return 0;
}

// Files are created for the owner alone, and given their metadata once written.
constexpr mode_t kPrivateMode = 0600;
constexpr std::size_t kCopyChunk = 1 << 20;
constexpr int kMaxBackupNames = 1000;

std::string TemporaryName(const std::string& fileName) { return fileName + ".tessaly-new"; }
std::string FirstBackupName(const std::string& fileName) { return fileName + ".tessaly-backup"; }

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

// "<fileName>.tessaly-backup", then "...-<time>", "...-<time>-2", ...
std::string BackupName(const std::string& fileName, int attempt, const std::string& timestamp) {
  std::string name = FirstBackupName(fileName);
  if (attempt > 0) name += "-" + timestamp;
  if (attempt > 1) name += "-" + std::to_string(attempt);
  return name;
}

// A name BackupName gives; the copies of logs beside a backup are not.
bool IsBackupName(const std::string& fileName, std::string_view name) {
  const std::string first = FirstBackupName(fileName);
  if (name == first) return true;
  if (!name.starts_with(first + "-")) return false;
  name.remove_prefix(first.size() + 1);
  return std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// What follows the hive's name in a log's name (".LOG1"); a log's copy
// keeps it after the backup's name.
std::string LogSuffix(const std::string& fileName, const std::string& logName) {
  const bool prefixed = logName.size() > fileName.size() &&
                        std::equal(fileName.begin(), fileName.end(), logName.begin(),
                                   [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
  return prefixed ? logName.substr(fileName.size()) : "." + logName;
}

bool SameFile(const struct stat& first, const struct stat& second) {
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int StatEntry(int directory, const std::string& name, struct stat* status) {
  return fstatat(directory, name.c_str(), status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

bool Exists(int directory, const std::string& name) {
  struct stat status {};
  return StatEntry(directory, name, &status) != ENOENT;
}

// Whether name refers to the file with this status.
bool Holds(int directory, const std::string& name, const struct stat& file) {
  struct stat status {};
  return StatEntry(directory, name, &status) == 0 && SameFile(status, file);
}

// Some file systems cannot sync a directory and say so with EINVAL; there is
// nothing more to be done on them.
int SyncDirectory(int directory) {
  if (fsync(directory) != 0 && errno != EINVAL) return errno;
  return 0;
}

// Copies the first length bytes of source to destination's position.
int CopyBytes(int source, std::uint64_t length, int destination) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, buffer.size()));
    std::size_t got = 0;
    if (const int error = ReadFullyAt(source, buffer.data(), chunk, static_cast<off_t>(offset), &got); error != 0) {
      return error;
    }
    // The file ends before the length it was to be copied to.
    if (got < chunk) return EIO;
    if (const int error = WriteFully(destination, buffer.data(), got); error != 0) return error;
    offset += got;
  }
  return 0;
}

// Whether both files start with the same length bytes.
int SameBytes(int first, int second, std::uint64_t length, bool* same) {
  std::vector<std::uint8_t> firstBuffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
  std::vector<std::uint8_t> secondBuffer(firstBuffer.size());
  *same = false;
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, firstBuffer.size()));
    std::size_t firstGot = 0;
    std::size_t secondGot = 0;
    if (const int error = ReadFullyAt(first, firstBuffer.data(), chunk, static_cast<off_t>(offset), &firstGot);
        error != 0) {
      return error;
    }
    if (const int error = ReadFullyAt(second, secondBuffer.data(), chunk, static_cast<off_t>(offset), &secondGot);
        error != 0) {
      return error;
    }
    const auto end = firstBuffer.begin() + static_cast<std::ptrdiff_t>(chunk);
    if (firstGot != chunk || secondGot != chunk || !std::equal(firstBuffer.begin(), end, secondBuffer.begin())) {
      return 0;
    }
    offset += chunk;
  }
  *same = true;
  return 0;
}

// A file the save reads, with what a copy of it must carry.
struct SourceFile {
  int fd = -1;
  struct stat status {};
  FileMetadata metadata;
};

int ReadSource(int fd, SourceFile* source) {
  source->fd = fd;
  if (fstat(fd, &source->status) != 0) return errno;
  return ReadFileMetadata(fd, &source->metadata) == 0 ? 0 : kSaveMetadataNotKept;
}

struct Log {
  std::string suffix;
  UniqueFd file;
  SourceFile source;
};

// A file written in full, flushed and closed, under a temporary name.
struct TemporaryFile {
  std::string name;
  struct stat status {};
};

// Writes a new file under the temporary name of the hive hiveName: its
// bytes by writeContents, then the metadata, checked; then flushed. On
// failure nothing of it is left.
int WriteTemporaryFile(int directory, const std::string& hiveName, const FileMetadata& metadata,
                       const std::function<int(int)>& writeContents, TemporaryFile* written) {
  UniqueFd file;
  int error = CreateNewFile(directory, TemporaryName(hiveName), kPrivateMode, &file, &written->name);
  if (error != 0) return error;
  if (fstat(file.Get(), &written->status) != 0) error = errno;
  if (error == 0) error = writeContents(file.Get());
  if (error == 0 && CarryFileMetadata(file.Get(), metadata) != 0) error = kSaveMetadataNotKept;
  if (error == 0 && fsync(file.Get()) != 0) error = errno;
  // Closed before it is removed: ntfs-3g turns the removal of an open file
  // into a rename, which needs the free space that may have run out.
  if (close(file.Release()) != 0 && error == 0) error = errno;
  if (error != 0) unlinkat(directory, written->name.c_str(), 0);
  return error;
}

// Gives a temporary file finalName, which no file may have yet: EEXIST when
// one has, the temporary file then left as it is.
int GiveFreeName(int directory, const TemporaryFile& temporary, const std::string& finalName) {
  int error = renameat2(directory, temporary.name.c_str(), directory, finalName.c_str(), RENAME_NOREPLACE) == 0
                  ? 0
                  : errno;
  if (error == EINVAL) {
    // The file system cannot keep the name free itself (ntfs-3g); the
    // hive's lock keeps other runs out of the folder meanwhile.
    if (Exists(directory, finalName)) return EEXIST;
    error = renameat(directory, temporary.name.c_str(), directory, finalName.c_str()) == 0 ? 0 : errno;
  }
  // A rename can take effect and still report failure.
  if (error != 0 && error != EEXIST && Holds(directory, finalName, temporary.status)) return 0;
  return error;
}

// Removes the temporary file when its name still refers to it.
void RemoveTemporary(int directory, const TemporaryFile& temporary) {
  if (Holds(directory, temporary.name, temporary.status)) unlinkat(directory, temporary.name.c_str(), 0);
}

// The hive being saved and its logs.
struct Save {
  const HiveFileOnDisk& onDisk;
  SourceFile original;
  std::vector<Log> logs;
};

// What the save keeps beside the hive, and which of those names it created.
struct Backup {
  std::string name;
  std::vector<std::string> created;
};

int CopyFile(int directory, const Save& save, const SourceFile& source, std::uint64_t length,
             const std::string& finalName) {
  TemporaryFile copy;
  int error = WriteTemporaryFile(
      directory, save.onDisk.fileName, source.metadata,
      [&](int fd) { return CopyBytes(source.fd, length, fd); }, &copy);
  if (error != 0) return error;
  error = GiveFreeName(directory, copy, finalName);
  if (error != 0) RemoveTemporary(directory, copy);
  return error;
}

// Whether the file `name` holds the source's bytes: all of them, or (for a
// hive) its extent; with sameFileCounts, also when it is the source itself.
int HoldsCopyOf(int directory, const std::string& name, const SourceFile& source, std::uint64_t extent,
                bool sameFileCounts, bool* holds) {
  *holds = false;
  UniqueFd candidate;
  if (const int error = OpenRegularFile(directory, name, &candidate); error != 0) {
    // Gone, or not a regular file: no copy of anything.
    return error == ENOENT || error == EINVAL || error == ELOOP ? 0 : error;
  }
  struct stat status {};
  if (fstat(candidate.Get(), &status) != 0) return errno;
  if (SameFile(status, source.status)) {
    *holds = sameFileCounts;
    return 0;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size != extent && size != static_cast<std::uint64_t>(source.status.st_size)) return 0;
  return SameBytes(candidate.Get(), source.fd, size, holds);
}

// Whether backupName already holds the original (a second link to it, or a
// copy of its bytes), and the log copies beside it, where there, the logs'
// bytes: a save then keeps it as this save's backup.
int IsReusableBackup(int directory, const Save& save, const std::string& backupName, bool* reusable) {
  if (const int error = HoldsCopyOf(directory, backupName, save.original, save.onDisk.extent, true, reusable);
      error != 0 || !*reusable) {
    return error;
  }
  for (const Log& log : save.logs) {
    const std::string copyName = backupName + log.suffix;
    if (!Exists(directory, copyName)) continue;
    // Windows writes logs in place, so only a copy keeps what a log held.
    const int error = HoldsCopyOf(directory, copyName, log.source, log.source.status.st_size, false, reusable);
    if (error != 0 || !*reusable) return error;
  }
  return 0;
}

int FindReusableBackup(int directory, const Save& save, std::optional<std::string>* found) {
  std::vector<DirectoryEntry> entries;
  if (const int error = ListDirectory(directory, &entries); error != 0) return error;
  std::vector<std::string> names;
  for (const DirectoryEntry& entry : entries) {
    std::optional<std::string> name = Utf8FromUtf16(entry.name);
    if (name && IsBackupName(save.onDisk.fileName, *name)) names.push_back(std::move(*name));
  }
  // The first backup name sorts before the timestamped ones.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    bool reusable = false;
    if (const int error = IsReusableBackup(directory, save, name, &reusable); error != 0) return error;
    if (reusable) {
      *found = name;
      return 0;
    }
  }
  return 0;
}

// File systems without hard links (FAT, some network shares) refuse them with these.
bool LinksUnsupported(int error) { return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK; }

// Keeps the original under a backup name that neither a file nor the log
// copies that will go with it have yet. The original is never written in
// place (the new hive is renamed over its name), so a second link to it is
// a complete backup that costs no copy; file systems without hard links get
// a copy of its extent, written once and tried under each name in turn.
int CreateBackup(int directory, const Save& save, Backup* backup) {
  const std::string& fileName = save.onDisk.fileName;
  const std::string timestamp = Timestamp();
  bool linking = true;
  std::optional<TemporaryFile> copy;
  int error = EEXIST;
  for (int attempt = 0; attempt < kMaxBackupNames && error == EEXIST; ++attempt) {
    backup->name = BackupName(fileName, attempt, timestamp);
    if (std::any_of(save.logs.begin(), save.logs.end(),
                    [&](const Log& log) { return Exists(directory, backup->name + log.suffix); })) {
      continue;
    }
    if (linking) {
      error = linkat(directory, fileName.c_str(), directory, backup->name.c_str(), 0) == 0 ? 0 : errno;
      if (!LinksUnsupported(error)) continue;
      linking = false;
    }
    if (!copy) {
      TemporaryFile written;
      error = WriteTemporaryFile(
          directory, fileName, save.original.metadata,
          [&](int fd) { return CopyBytes(save.original.fd, save.onDisk.extent, fd); }, &written);
      if (error != 0) return error;
      copy = std::move(written);
    }
    error = GiveFreeName(directory, *copy, backup->name);
  }
  if (copy) RemoveTemporary(directory, *copy);
  if (error == 0) backup->created.push_back(backup->name);
  return error;
}

int KeepBackup(int directory, const Save& save, Backup* backup) {
  std::optional<std::string> reusable;
  if (const int error = FindReusableBackup(directory, save, &reusable); error != 0) return error;
  if (reusable) {
    backup->name = *reusable;
  } else if (const int error = CreateBackup(directory, save, backup); error != 0) {
    return error;
  }
  for (const Log& log : save.logs) {
    const std::string copyName = backup->name + log.suffix;
    if (Exists(directory, copyName)) continue;
    const int error = CopyFile(directory, save, log.source, log.source.status.st_size, copyName);
    if (error != 0) return error;
    backup->created.push_back(copyName);
  }
  return SyncDirectory(directory);
}

int OpenLogs(const HiveFileOnDisk& onDisk, std::vector<Log>* logs) {
  for (const std::string& logName : onDisk.logNames) {
    Log& log = logs->emplace_back();
    log.suffix = LogSuffix(onDisk.fileName, logName);
    if (const int error = OpenRegularFile(onDisk.directory, logName, &log.file); error != 0) return error;
    if (const int error = ReadSource(log.file.Get(), &log.source); error != 0) return error;
  }
  return 0;
}

}  // namespace

int ReplaceHiveFile(const HiveFileOnDisk& original, const std::function<int(int fd)>& writeContents) {
  const int directory = original.directory;
  const std::string& fileName = original.fileName;
  Save save{original, {}, {}};
  if (const int error = ReadSource(original.file, &save.original); error != 0) return error;
  // The new hive replaces the file the run loaded, and nothing else.
  if (!Holds(directory, fileName, save.original.status)) return ESTALE;
  if (const int error = OpenLogs(original, &save.logs); error != 0) return error;

  Backup backup;
  int error = KeepBackup(directory, save, &backup);
  TemporaryFile replacement;
  if (error == 0) error = WriteTemporaryFile(directory, fileName, save.original.metadata, writeContents, &replacement);
  if (error == 0) {
    if (renameat(directory, replacement.name.c_str(), directory, fileName.c_str()) == 0) {
      // The new hive is in place; a failure to sync the directory now
      // cannot undo that, and the backup is already durable.
      SyncDirectory(directory);
      return 0;
    }
    error = errno;
    // A rename can take effect and still report failure: what the name
    // holds now decides what is kept.
    if (Holds(directory, fileName, replacement.status)) {
      SyncDirectory(directory);
      return kSaveReplacedDespiteError;
    }
    if (!Holds(directory, fileName, save.original.status)) return kSaveHiveNameLost;
    RemoveTemporary(directory, replacement);
  }
  // The original is in place, so what this save made beside it goes.
  if (Holds(directory, fileName, save.original.status)) {
    for (const std::string& name : backup.created) unlinkat(directory, name.c_str(), 0);
  }
  return error;
}

int SaveHive(const Hive& hive, const HiveFileOnDisk& original) {
  return ReplaceHiveFile(original, [&](int fd) { return WriteHive(fd, hive); });
}

int RemoveSaveLeftovers(int directory, const std::string& fileName, int* removed) {
  *removed = 0;
  std::vector<DirectoryEntry> entries;
  if (const int error = ListDirectory(directory, &entries); error != 0) return error;
  const std::string prefix = TemporaryName(fileName);
  int firstError = 0;
  for (const DirectoryEntry& entry : entries) {
    const std::optional<std::string> name = Utf8FromUtf16(entry.name);
    struct stat status {};
    if (!name || !name->starts_with(prefix) || StatEntry(directory, *name, &status) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    if (unlinkat(directory, name->c_str(), 0) == 0) {
      ++*removed;
    } else if (firstError == 0) {
      firstError = errno;
    }
  }
  return firstError;
}

}  // namespace tessaly::offline
