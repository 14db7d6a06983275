#include "platform/offline/hive_file.h"

#include <algorithm>
#include <array>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "hive/base_block.h"
#include "hive/little_endian.h"
#include "hive/log_recovery.h"
#include "platform/offline/image_tree.h"

namespace tessaly::offline {
namespace {

using hive::AddLogSequences;
using hive::BaseBlockState;
using hive::CheckBaseBlock;
using hive::Hive;
using hive::HiveImage;
using hive::kBaseBlockSize;
using hive::kHiveBinsSizeOffset;
using hive::kHivePageSize;
using hive::kPrimarySequenceOffset;
using hive::kSecondarySequenceOffset;
using hive::ReadLittleEndian32;
using hive::LogRecovery;
using hive::RecoverFromLogs;
using hive::RecoverFromLogsInPlace;
using hive::SequenceRange;

// A transaction log beside the hive, mapped whole; empty when there is none.
struct TransactionLog {
  std::u16string name;
  UniqueMapping mapping;
  std::span<const std::uint8_t> bytes;
};

// The most a hive can hold: its base block and hive bins of the largest
// size the base block can count.
constexpr std::uint64_t kMaxHiveFileSize = kBaseBlockSize + std::uint64_t{0xFFFFF000};

// A smaller part is not worth a thread of its own.
constexpr std::size_t kMinimumReadPart = std::size_t{4} << 20;

// Fills bytes from the file's start, in up to `readers` parts, each but the
// first on a thread of its own: for a hive of hundreds of megabytes, most
// of the cost is the memory each page needs when it is first touched, and
// threads get it side by side. *filled: the bytes read up to the first part
// that came short (the file ends there).
FileStatus ReadInParts(ImageFiles& files, ImageFileHandle file, std::span<std::uint8_t> bytes, unsigned readers,
                       std::size_t* filled) {
  const std::size_t parts = std::clamp<std::size_t>(bytes.size() / kMinimumReadPart, 1, std::max(readers, 1u));
  const std::size_t partSize = bytes.size() / parts;
  const auto sizeOf = [&](std::size_t part) { return part + 1 == parts ? bytes.size() - part * partSize : partSize; };
  std::vector<FileStatus> statuses(parts);
  std::vector<std::size_t> got(parts);
  const auto read = [&](std::size_t part) {
    statuses[part] = files.ReadAt(file, part * partSize, bytes.subspan(part * partSize, sizeOf(part)), &got[part]);
  };
  std::vector<std::thread> threads;
  // Reserved before any thread starts: a thread still running must never be
  // left behind by a failed allocation.
  threads.reserve(parts - 1);
  for (std::size_t part = 1; part < parts; ++part) {
    // Without a thread, the part is read on this one.
    try {
      threads.emplace_back(read, part);
    } catch (const std::system_error&) {
      read(part);
    }
  }
  read(0);
  for (std::thread& thread : threads) thread.join();

  *filled = 0;
  for (std::size_t part = 0; part < parts; ++part) {
    if (!statuses[part].Ok()) return statuses[part];
    *filled += got[part];
    if (got[part] != sizeOf(part)) break;
  }
  return {};
}

// The whole file, up to its length now, which the caller has checked; a
// file that grows meanwhile is read up to where it was.
FileStatus ReadWholeFile(ImageFiles& files, ImageFileHandle file, std::uint64_t size, unsigned readers,
                         HiveImage* bytes) {
  bytes->resize(static_cast<std::size_t>(size));
  std::size_t filled = 0;
  if (const FileStatus status = ReadInParts(files, file, *bytes, readers, &filled); !status.Ok()) return status;
  bytes->resize(filled);
  return {};
}

// Success, with an empty log when there is none or it holds nothing, or the
// failure of a log that is there but cannot be read: recovery without it
// could bring the hive to a state that log has already gone past.
Win32Status ReadLog(ImageTree& image, DirectoryHandle directory, const std::u16string& name, TransactionLog* log) {
  ImageFiles& files = image.Files();
  if (const FileStatus status = image.FindEntry(directory, name, &log->name); !status.Ok()) {
    log->name.clear();
    return status.problem == FileProblem::NotFound ? Win32Status::Success : files.ToWin32Status(status);
  }
  UniqueImageFile file(files);
  FileStatus status = files.OpenFile(directory, log->name, FileAccess::Read, file.Put());
  // A log that is not a file at all cannot be read as one.
  if (status.problem == FileProblem::NotARegularFile) return Win32Status::RegistryIoFailed;
  FileFacts facts;
  if (status.Ok()) status = files.Inspect(file.Get(), &facts);
  if (status.Ok() && facts.size == 0) {
    log->name.clear();
    return Win32Status::Success;
  }
  log->mapping = UniqueMapping(files);
  if (status.Ok()) status = files.MapFile(file.Get(), facts.size, log->mapping.Put(), &log->bytes);
  return status.Ok() ? Win32Status::Success : files.ToWin32Status(status);
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
  for (const TransactionLog& log : logs) AddLogSequences(log.bytes, &range);
  return range.NextNewer();
}

// The hive file's first size bytes, mapped for changes into *mapping; empty
// where the system maps none, and the hive is read instead.
std::span<std::uint8_t> MapForChanges(ImageFiles& files, ImageFileHandle file, std::uint64_t size,
                                      UniqueMapping* mapping) {
  *mapping = UniqueMapping(files);
  std::span<std::uint8_t> bytes;
  if (!files.MapFileForChanges(file, size, mapping->Put(), &bytes).Ok()) return {};
  return bytes;
}

Win32Status StatusOf(ImageFiles& files, const FileStatus& status) {
  switch (status.problem) {
    case FileProblem::None:
      return Win32Status::Success;
    // Not a file at all, so not a hive.
    case FileProblem::NotARegularFile:
      return Win32Status::BadDb;
    // Another run or program holding the hive is what Windows reports as a sharing violation.
    case FileProblem::InUse:
      return Win32Status::SharingViolation;
    default:
      return files.ToWin32Status(status);
  }
}

}  // namespace

Win32Status OpenHiveFile(ImageTree& image, std::span<const std::u16string> path, HiveAccess access, unsigned readers,
                         HiveFile* opened) {
  if (path.empty()) return Win32Status::FileNotFound;
  ImageFiles& files = image.Files();
  HiveFile hive;
  hive.directory = UniqueDirectory(files);
  hive.file = UniqueImageFile(files);
  FileStatus status = image.OpenDirectory(path.first(path.size() - 1), &hive.directory);
  if (status.Ok()) status = image.FindEntry(hive.directory.Get(), path.back(), &hive.fileName);
  if (status.Ok()) {
    status = files.OpenFile(hive.directory.Get(), hive.fileName,
                            access == HiveAccess::Repair ? FileAccess::ReadForSave : FileAccess::Read, hive.file.Put());
  }
  if (!status.Ok()) return StatusOf(files, status);

  std::array<std::uint8_t, kBaseBlockSize> baseBlock{};
  std::size_t filled = 0;
  FileFacts facts;
  if (status = files.ReadAt(hive.file.Get(), 0, baseBlock, &filled); !status.Ok()) return StatusOf(files, status);
  if (status = files.Inspect(hive.file.Get(), &facts); !status.Ok()) return StatusOf(files, status);
  const BaseBlockState state = CheckBaseBlock(std::span(baseBlock).first(filled));
  if (state == BaseBlockState::NotAHive) return Win32Status::BadDb;

  // Windows reads the logs of a dirty hive only; those of a clean one are
  // stale and may be large, so they are not even opened.
  std::array<TransactionLog, kTransactionLogSuffixes.size()> logs;
  // A hive is used where it lies, in a private mapping, where the system
  // offers one: no copy, and only the pages a repair or recovery changes
  // cost memory of their own. Else it is read.
  HiveImage bytes;
  std::span<std::uint8_t> mapped;
  if (state == BaseBlockState::Clean) {
    const std::uint32_t hiveBinsSize = ReadLittleEndian32(baseBlock, kHiveBinsSizeOffset);
    if (hiveBinsSize == 0 || hiveBinsSize % kHivePageSize != 0) return Win32Status::BadDb;
    hive.extent = kBaseBlockSize + std::uint64_t{hiveBinsSize};
    // The file must hold the extent whole.
    if (facts.size < hive.extent) return Win32Status::BadDb;
    if (hive.extent > SIZE_MAX) return Win32Status::NotEnoughMemory;
    mapped = MapForChanges(files, hive.file.Get(), hive.extent, &hive.mapping);
    if (mapped.empty()) {
      bytes.resize(static_cast<std::size_t>(hive.extent));
      if (status = ReadInParts(files, hive.file.Get(), bytes, readers, &filled); !status.Ok()) {
        return StatusOf(files, status);
      }
      if (filled != bytes.size()) return Win32Status::BadDb;
    }
  } else {
    for (std::size_t i = 0; i < logs.size(); ++i) {
      const std::u16string logName = hive.fileName + std::u16string(kTransactionLogSuffixes[i]);
      if (const Win32Status read = ReadLog(image, hive.directory.Get(), logName, &logs[i]);
          read != Win32Status::Success) {
        return read;
      }
    }
    // The kernel may have written bins past the extent the base block still
    // counts, so a dirty hive is taken whole, then brought up to date: in its
    // mapping, unless its logs grow it past the file, else read.
    if (facts.size > kMaxHiveFileSize) return Win32Status::BadDb;
    if (facts.size > SIZE_MAX) return Win32Status::NotEnoughMemory;
    std::optional<LogRecovery> recovered;
    mapped = MapForChanges(files, hive.file.Get(), facts.size, &hive.mapping);
    if (!mapped.empty()) {
      std::size_t recoveredSize = 0;
      recovered = RecoverFromLogsInPlace(mapped, logs[0].bytes, logs[1].bytes, &recoveredSize);
      mapped = recovered ? mapped.first(recoveredSize) : std::span<std::uint8_t>();
      if (!recovered) hive.mapping.Reset();
    }
    if (!recovered) {
      if (status = ReadWholeFile(files, hive.file.Get(), facts.size, readers, &bytes); !status.Ok()) {
        return StatusOf(files, status);
      }
      recovered = RecoverFromLogs(&bytes, logs[0].bytes, logs[1].bytes);
    }
    if (recovered->entriesApplied == 0) return Win32Status::RegistryCorrupt;
    // The original is the whole file, and the logs it was recovered from
    // are kept beside its backup.
    hive.extent = facts.size;
    for (const TransactionLog& log : logs) {
      if (!log.name.empty()) hive.logNames.push_back(log.name);
    }
  }

  const std::optional<std::uint32_t> saveSequence = SaveSequence(baseBlock, state, logs);
  hive.savable = saveSequence.has_value();
  hive.size = mapped.empty() ? bytes.size() : mapped.size();
  hive.hive = mapped.empty() ? Hive::Open(std::move(bytes), saveSequence.value_or(0))
                             : Hive::Open(mapped, saveSequence.value_or(0));
  if (!hive.hive) return Win32Status::BadDb;
  *opened = std::move(hive);
  return Win32Status::Success;
}

}  // namespace tessaly::offline
