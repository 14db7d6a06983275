#include "platform/offline/hive_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

#include "platform/posix/errno_status.h"
#include "platform/posix/full_io.h"
#include "hive/base_block.h"
#include "hive/little_endian.h"
#include "hive/log_recovery.h"
#include "platform/offline/image_tree.h"
#include "platform/posix/mapped_file.h"

namespace tessaly::offline {
namespace {

// Another program may put a new file under the hive's name between the open
// and the lock; the open is tried again a few times.
constexpr int kLockAttempts = 3;

bool SameFile(const struct stat& left, const struct stat& right) {
  return left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

// Opens the hive and, for a repair, locks it, making sure that the name
// still names the locked file.
int OpenAndLock(int directory, const std::string& name, HiveAccess access, UniqueFd* file) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    UniqueFd opened;
    if (const int error = OpenRegularFile(directory, name, &opened); error != 0) return error;
    if (access == HiveAccess::Read) {
      *file = std::move(opened);
      return 0;
    }
    if (flock(opened.Get(), LOCK_EX | LOCK_NB) != 0) return errno;
    struct stat locked {};
    struct stat named {};
    if (fstat(opened.Get(), &locked) != 0) return errno;
    if (fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(locked, named)) {
      *file = std::move(opened);
      return 0;
    }
  }
  return EWOULDBLOCK;
}

// A transaction log beside the hive, mapped whole; empty when there is none.
struct TransactionLog {
  std::string name;
  MappedFile bytes;
};

// Returns 0, with an empty log when there is none or it holds nothing, or
// the errno of a log that is there but cannot be read: recovery without it
// could bring the hive to a state that log has already gone past.
int OpenLog(ImageTree& image, int directory, const std::string& name, TransactionLog* log) {
  if (const int error = image.FindEntry(directory, name, &log->name); error != 0) {
    log->name.clear();
    return error == ENOENT ? 0 : error;
  }
  UniqueFd file;
  struct stat status {};
  if (const int error = OpenRegularFile(directory, log->name, &file); error != 0) return error;
  if (fstat(file.Get(), &status) != 0) return errno;
  if (status.st_size == 0) {
    log->name.clear();
    return 0;
  }
  return MappedFile::Map(file.Get(), static_cast<std::size_t>(status.st_size), &log->bytes);
}

// The sequence number the saved hive's base block gets: newer than every
// number the hive and its logs hold, so that Windows never replays a log
// entry over it; nullopt when there is none. A base block that fails its
// checksum holds no numbers Windows would read.
std::optional<std::uint32_t> SaveSequence(std::span<const std::uint8_t> baseBlock, BaseBlockState state,
                                          std::span<const TransactionLog> logs) {
  SequenceRange range;
  if (state != BaseBlockState::ChecksumMismatch) {
    range.Add(ReadLittleEndian32(baseBlock, kPrimarySequenceOffset));
    range.Add(ReadLittleEndian32(baseBlock, kSecondarySequenceOffset));
  }
  for (const TransactionLog& log : logs) AddLogSequences(log.bytes.Bytes(), &range);
  return range.NextNewer();
}

// Reads a clean hive's extent, which the file must hold whole.
Win32Status ReadCleanHive(int file, std::uint64_t extent, std::uint64_t fileSize, std::vector<std::uint8_t>* image) {
  if (fileSize < extent) return Win32Status::BadDb;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(extent));
  std::size_t filled = 0;
  if (const int error = ReadFullyAt(file, bytes.data(), bytes.size(), 0, &filled); error != 0) {
    return Win32StatusFromErrno(error);
  }
  if (filled != bytes.size()) return Win32Status::BadDb;
  *image = std::move(bytes);
  return Win32Status::Success;
}

// Reads a dirty hive's file whole, up to its length, and brings it up to
// date from its logs: the kernel may have written bins past the extent its
// base block still counts.
Win32Status RecoverDirtyHive(int file, std::uint64_t fileSize, std::span<const TransactionLog> logs,
                             std::vector<std::uint8_t>* image) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fileSize));
  std::size_t filled = 0;
  if (const int error = ReadFullyAt(file, bytes.data(), bytes.size(), 0, &filled); error != 0) {
    return Win32StatusFromErrno(error);
  }
  bytes.resize(filled);
  if (RecoverFromLogs(&bytes, logs[0].bytes.Bytes(), logs[1].bytes.Bytes()).entriesApplied == 0) {
    return Win32Status::RegistryCorrupt;
  }
  *image = std::move(bytes);
  return Win32Status::Success;
}

}  // namespace

Win32Status OpenHiveFile(ImageTree& image, std::span<const std::string> path, HiveAccess access, HiveFile* opened) {
  if (path.empty()) return Win32Status::FileNotFound;
  HiveFile hive;
  int error = image.OpenDirectory(path.first(path.size() - 1), &hive.directory);
  if (error == 0) error = image.FindEntry(hive.directory.Get(), path.back(), &hive.onDisk.fileName);
  if (error == 0) error = OpenAndLock(hive.directory.Get(), hive.onDisk.fileName, access, &hive.file);
  if (error == EINVAL) return Win32Status::BadDb;  // not a file at all, so not a hive
  // Another run holding the hive is what Windows reports as a sharing violation.
  if (error == EWOULDBLOCK) return Win32Status::SharingViolation;
  if (error != 0) return Win32StatusFromErrno(error);

  std::array<std::uint8_t, kBaseBlockSize> baseBlock{};
  std::size_t filled = 0;
  struct stat status {};
  if (error = ReadFullyAt(hive.file.Get(), baseBlock.data(), baseBlock.size(), 0, &filled); error != 0) {
    return Win32StatusFromErrno(error);
  }
  if (fstat(hive.file.Get(), &status) != 0) return Win32StatusFromErrno(errno);
  const BaseBlockState state = CheckBaseBlock(std::span(baseBlock).first(filled));
  if (state == BaseBlockState::NotAHive) return Win32Status::BadDb;
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);

  // Windows reads the logs of a dirty hive only; those of a clean one are
  // stale and may be large, so they are not even opened.
  std::array<TransactionLog, kTransactionLogSuffixes.size()> logs;
  std::vector<std::uint8_t> bytes;
  if (state == BaseBlockState::Clean) {
    const std::uint32_t hiveBinsSize = ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);
    if (hiveBinsSize == 0 || hiveBinsSize % kHivePageSize != 0) return Win32Status::BadDb;
    hive.onDisk.extent = kBaseBlockSize + std::uint64_t{hiveBinsSize};
    if (const Win32Status read = ReadCleanHive(hive.file.Get(), hive.onDisk.extent, fileSize, &bytes);
        read != Win32Status::Success) {
      return read;
    }
  } else {
    for (std::size_t i = 0; i < logs.size(); ++i) {
      error = OpenLog(image, hive.directory.Get(), hive.onDisk.fileName + kTransactionLogSuffixes[i], &logs[i]);
      if (error != 0) return Win32StatusFromErrno(error);
    }
    if (const Win32Status read = RecoverDirtyHive(hive.file.Get(), fileSize, logs, &bytes);
        read != Win32Status::Success) {
      return read;
    }
    // The original is the whole file, and the logs it was recovered from
    // are kept beside its backup.
    hive.onDisk.extent = fileSize;
    for (const TransactionLog& log : logs) {
      if (!log.name.empty()) hive.onDisk.logNames.push_back(log.name);
    }
  }

  const std::optional<std::uint32_t> saveSequence = SaveSequence(baseBlock, state, logs);
  hive.savable = saveSequence.has_value();
  hive.size = bytes.size();
  hive.hive = Hive::Open(std::move(bytes), saveSequence.value_or(0));
  if (!hive.hive) return Win32Status::BadDb;
  hive.onDisk.directory = hive.directory.Get();
  hive.onDisk.file = hive.file.Get();
  *opened = std::move(hive);
  return Win32Status::Success;
}

}  // namespace tessaly::offline
