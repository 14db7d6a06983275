#include "platform/offline/hive/hive_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/offline/errno_status.h"
#include "platform/offline/full_io.h"
#include "platform/offline/hive/base_block.h"
#include "platform/offline/hive/little_endian.h"
#include "platform/offline/hive/log_recovery.h"
#include "platform/offline/image_tree.h"

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
  HiveImage bytes;
};

void OpenLog(ImageTree& image, int directory, const std::string& name, TransactionLog* log) {
  UniqueFd file;
  struct stat status {};
  if (image.FindEntry(directory, name, &log->name) != 0 || OpenRegularFile(directory, log->name, &file) != 0 ||
      fstat(file.Get(), &status) != 0 || status.st_size == 0 ||
      HiveImage::Map(file.Get(), static_cast<std::size_t>(status.st_size), &log->bytes) != 0) {
    log->name.clear();
  }
}

// The sequence number the saved hive's base block gets: newer than both of
// its own and than anything its logs hold, so that Windows never replays an
// old log entry over it. Sequence numbers wrap, so "newer" is in their order.
std::uint32_t SaveSequence(std::span<const std::uint8_t> baseBlock, std::span<const TransactionLog> logs,
                           std::uint32_t recoveredSequence) {
  std::uint32_t newest = ReadLittleEndian32(baseBlock, kPrimarySequenceOffset);
  const auto takeNewest = [&newest](std::uint32_t sequence) {
    if (SequenceIsLower(newest, sequence)) newest = sequence;
  };
  takeNewest(ReadLittleEndian32(baseBlock, kSecondarySequenceOffset));
  takeNewest(recoveredSequence);
  for (const TransactionLog& log : logs) takeNewest(HighestLogSequence(log.bytes.Bytes()));
  return newest + 1;
}

// Reads the hive's extent. A dirty hive is read as far as the file has it
// and brought up to date from its logs; *recoveredSequence is then the last
// entry's sequence number.
Win32Status ReadHive(int file, BaseBlockState state, std::uint64_t extent, std::uint64_t fileSize,
                     std::span<const TransactionLog> logs, HiveImage* image, std::uint32_t* recoveredSequence) {
  const bool dirty = state == BaseBlockState::Dirty;
  if (!dirty && fileSize < extent) return Win32Status::BadDb;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(extent, fileSize)));
  std::size_t filled = 0;
  if (const int error = ReadFullyAt(file, bytes.data(), bytes.size(), 0, &filled); error != 0) {
    return Win32StatusFromErrno(error);
  }
  if (!dirty && filled != bytes.size()) return Win32Status::BadDb;
  if (dirty) {
    bytes.resize(filled);
    const LogRecovery recovery = RecoverFromLogs(&bytes, logs[0].bytes.Bytes(), logs[1].bytes.Bytes());
    if (recovery.entriesApplied == 0) return Win32Status::RegistryCorrupt;
    *recoveredSequence = recovery.lastSequence;
  }
  *image = HiveImage::Own(std::move(bytes));
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
  const std::uint32_t hiveBinsSize = ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);
  if (hiveBinsSize == 0 || hiveBinsSize % kHivePageSize != 0) return Win32Status::BadDb;
  const std::uint64_t extent = kBaseBlockSize + std::uint64_t{hiveBinsSize};
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);

  std::array<TransactionLog, kTransactionLogSuffixes.size()> logs;
  for (std::size_t i = 0; i < logs.size(); ++i) {
    OpenLog(image, hive.directory.Get(), hive.onDisk.fileName + kTransactionLogSuffixes[i], &logs[i]);
  }
  HiveImage bytes;
  std::uint32_t recoveredSequence = ReadLittleEndian32(baseBlock, kPrimarySequenceOffset);
  if (const Win32Status read = ReadHive(hive.file.Get(), state, extent, fileSize, logs, &bytes, &recoveredSequence);
      read != Win32Status::Success) {
    return read;
  }
  // What stays of the original is its own bytes; the logs it was recovered
  // from are kept beside its backup.
  hive.onDisk.extent = std::min(extent, fileSize);
  if (state == BaseBlockState::Dirty) {
    for (const TransactionLog& log : logs) {
      if (!log.name.empty()) hive.onDisk.logNames.push_back(log.name);
    }
  }

  hive.hive = Hive::Open(std::move(bytes), SaveSequence(baseBlock, logs, recoveredSequence));
  if (!hive.hive) return Win32Status::BadDb;
  hive.onDisk.directory = hive.directory.Get();
  hive.onDisk.file = hive.file.Get();
  *opened = std::move(hive);
  return Win32Status::Success;
}

}  // namespace tessaly::offline
